#!/usr/bin/env bash
# Station records against a real PostgreSQL server, end to end: lumaflash-cli updates simulated
# devices on pseudo-terminals, keeps each attempt in a local store of its own and forwards it.
# Runs inside scripts/with_postgres.sh, which provides the server:
#   bash scripts/with_postgres.sh bash tests/records/server_checks.sh [BUILD_DIR]
# Prints one line per check and then "N passed, N failed"; exits 1 when any check failed.
set -uo pipefail
root=$(cd "$(dirname "$0")/../.." && pwd)
build=$(cd "${1:-$root/build}" && pwd)
cli="$build/cli/lumaflash-cli"
sim="$build/sim/lumaflash-sim"
mkimage="$build/sim/lumaflash-mkimage"

# unready WHY: nothing can be checked (exit 2), which is not a failed check.
unready() {
  echo "server_checks: $*" >&2
  exit 2
}
for variable in LUMAFLASH_PG_STATION_URI LUMAFLASH_PG_READER_URI LUMAFLASH_PG_ADMIN LUMAFLASH_PG_CTL; do
  [[ -n ${!variable:-} ]] || unready "$variable is not set; run me through scripts/with_postgres.sh"
done
for program in "$cli" "$sim" "$mkimage"; do
  [[ -x $program ]] || unready "$program is missing; build first (scripts/build.sh)"
done

work=$(mktemp -d "${TMPDIR:-/tmp}/lumaflash-records.XXXXXX")
trap 'rm -rf "$work"' EXIT
# Never the user's own store, whatever a check forgets to name.
export LUMAFLASH_RECORDS="$work/default.sqlite"
export XDG_STATE_HOME="$work/state"
unset LUMAFLASH_RECORDS_SERVER

passed=0
failed=0
# check NAME FUNCTION: the function prints why it failed (one line) and returns non-zero, or ends
# through fail. It runs in a subshell, which fail can end; the devices it started stop with it.
check() {
  local name=$1
  shift
  if (trap stop_devices EXIT && "$@") >"$work/why" 2>&1; then
    echo "ok     $name"
    passed=$((passed + 1))
  else
    echo "FAILED $name: $(tail -n 3 "$work/why" | tr '\n' ' ')"
    failed=$((failed + 1))
  fi
}
fail() {
  echo "$*"
  exit 1
}

declare -A uri=([admin]=$LUMAFLASH_PG_ADMIN [station]=$LUMAFLASH_PG_STATION_URI
  [reader]=$LUMAFLASH_PG_READER_URI)
# sql admin|station|reader STATEMENT: one statement, as that role.
sql() { psql -X -q -t -A -v ON_ERROR_STOP=1 "${uri[$1]}" -c "$2"; }
local_sql() { sqlite3 -batch -noheader "$1" "$2"; }
count_waiting() { local_sql "$1" "SELECT count(*) FROM records WHERE forwarded = 0"; }
# sync_store STORE: `records sync` of STORE to the server, its output in $work/sync.out.
sync_store() {
  LUMAFLASH_RECORDS_SERVER=${uri[station]} cli records sync --records "$1" >"$work/sync.out" 2>&1
}

# wait_until SECONDS COMMAND...: runs the command every 50 ms until it succeeds or time runs out.
wait_until() {
  local deadline=$((SECONDS + $1))
  shift
  until "$@"; do
    ((SECONDS < deadline)) || return 1
    sleep 0.05
  done
}
lines_at_least() { [[ -f $1 && $(wc -l <"$1") -ge $2 ]]; }
# True once FILE has COUNT lines or the process PID has ended (then waiting longer is useless).
lines_or_gone() { lines_at_least "$1" "$2" || gone "$3"; }
gone() { ! kill -0 "$1" 2>/dev/null; }
# Every run of the program has a deadline: a hang is a failure, not a stuck test.
cli() { timeout 120 "$cli" "$@"; }

# start_devices NAME COUNT [SIM-OPTION]...: simulated devices that stay in bootloader mode after
# each update; their ports go into the array named NAME.
sim_pids=()
start_devices() {
  local -n started_ports=$1
  local count=$2 out="$work/sim-$BASHPID-${#sim_pids[@]}.out"
  shift 2
  "$sim" --count "$count" --stay "$@" >"$out" 2>"$out.err" &
  sim_pids+=($!)
  wait_until 20 lines_at_least "$out" "$count" ||
    fail "the simulated devices did not start: $(cat "$out.err")"
  mapfile -t started_ports < <(awk '{ print $1 }' "$out")
}
stop_devices() {
  local pid
  for pid in "${sim_pids[@]}"; do
    kill -TERM "$pid" 2>/dev/null
    wait "$pid" 2>/dev/null
  done
}

image="$work/tiny.bin"
"$mkimage" 3514 512 "$image" >/dev/null

# server_holds LIKE COUNT STORE...: the server holds COUNT records of the stations named LIKE,
# each once; none lost and none made up: exactly the ids of the local stores, none still waiting.
server_holds() {
  local like=$1 count=$2 rows distinct store waiting=0
  shift 2
  IFS='|' read -r rows distinct < <(sql reader \
    "SELECT count(*), count(DISTINCT id) FROM records WHERE station LIKE '$like'")
  [[ $rows == "$count" && $distinct == "$count" ]] ||
    fail "the server holds $rows rows ($distinct ids), not $count"
  diff <(for store; do local_sql "$store" "SELECT id FROM records"; done | LC_ALL=C sort) \
    <(sql reader "SELECT id FROM records WHERE station LIKE '$like' ORDER BY id") >/dev/null ||
    fail "the server's ids differ from the stations' ids"
  for store; do waiting=$((waiting + $(count_waiting "$store"))); done
  ((waiting == 0)) || fail "$waiting records are still marked as waiting"
}

# The roles: the station adds records and reads the schema version, and changes nothing.
roles_are_append_only() {
  local id=00000000-0000-4000-8000-000000000001 statement
  local insert="INSERT INTO records (id, started_at, ended_at, station, operator, program_version,
    port, result, duration_ms) VALUES ('$id', now(), now(), 'roles', 'o', '0', 'p', 'ok', 1)
    ON CONFLICT (id) DO NOTHING"
  sql station "$insert" || fail "the station cannot add a record"
  sql station "$insert" || fail "a record sent twice is an error" # no error, and no second row
  [[ $(sql reader "SELECT count(*) FROM records WHERE id = '$id'") == 1 ]] ||
    fail "a record sent twice is not one row"
  [[ $(sql station "SELECT version FROM lumaflash_schema") == 1 ]] ||
    fail "the station cannot read the schema version"
  for statement in "UPDATE records SET result = 'forged'" "DELETE FROM records" \
    "TRUNCATE records" "SELECT station FROM records" "UPDATE lumaflash_schema SET version = 9"; do
    ! sql station "$statement" >/dev/null 2>&1 || fail "the station role may: $statement"
  done
  for statement in "${insert/00000001/00000002}" "DELETE FROM records"; do
    ! sql reader "$statement" >/dev/null 2>&1 || fail "the reader role may: $statement"
  done
  sql admin "DELETE FROM records WHERE station = 'roles'"
}

# One process, one device, COUNT updates, each its own run of lumaflash-cli.
update_many() {
  local port=$1 store=$2 station=$3 count=$4 run
  mkdir -p "$work/$station"
  cd "$work/$station" || return 1
  for ((run = 0; run < count; run++)); do
    cli flash "$image" --port "$port" --json --records "$store" --station "$station" \
      --records-server "${uri[station]}" >>"$work/$station.jsonl" 2>>"$work/$station.err" ||
      fail "run $run of $station failed: $(tail -n 2 "$work/$station.err")"
  done
}

eight_stations_at_once() {
  local -a line
  start_devices line 8
  local i pids=() stores=() bad=0
  for i in 0 1 2 3 4 5 6 7; do
    stores+=("$work/eight-$i.sqlite")
    update_many "${line[$i]}" "${stores[$i]}" "eight-$i" 50 >"$work/eight-$i.why" &
    pids+=($!)
  done
  for i in 0 1 2 3 4 5 6 7; do
    wait "${pids[$i]}" || { cat "$work/eight-$i.why"; bad=1; }
  done
  ((bad == 0)) || exit 1
  server_holds 'eight-%' 400 "${stores[@]}"
}
# add_usb_port TREE NAME BUS SERIAL PTY: a USB serial port in a fake sysfs tree, laid out as the
# kernel lays out a ttyACM port, whose node leads to the pseudo-terminal PTY of a simulated device.
# The node comes last: it is what a waiting run sees appear.
add_usb_port() {
  local tree=$1 name=$2 bus=$3 serial=$4 pty=$5
  local device="$tree/sys/devices/usb1/$bus"
  mkdir -p "$tree/dev" "$tree/sys/class/tty" "$device/$bus:1.0/tty/$name"
  echo 1209 >"$device/idVendor"
  echo 0001 >"$device/idProduct"
  printf '%s\n' "$serial" >"$device/serial"
  echo 00 >"$device/$bus:1.0/bInterfaceNumber"
  ln -s "$device/$bus:1.0" "$device/$bus:1.0/tty/$name/device"
  ln -s "$device/$bus:1.0/tty/$name" "$tree/sys/class/tty/$name"
  ln -s "$pty" "$tree/dev/$name"
}

# The server is stopped hard while a --repeat run goes on: the updates go on and queue their
# records; once the server is back, `records sync` delivers each exactly once. The units are
# plugged in one after another, as on a line.
server_stopped_during_repeat() {
  local -a units
  local count=24 stop_at=6 store="$work/repeat.sqlite" tree="$work/line" i cli_pid
  start_devices units $count
  mkdir -p "$tree/dev" "$tree/sys/class/tty" "$work/repeat"
  (cd "$work/repeat" && LUMAFLASH_DEVICE_ROOT=$tree exec "$cli" flash "$image" --repeat --json \
    --records "$store" --station repeat --records-server "${uri[station]}") \
    >"$work/repeat.jsonl" 2>"$work/repeat.err" &
  cli_pid=$!
  for ((i = 0; i < count; i++)); do
    if ((i == stop_at)); then
      "$LUMAFLASH_PG_CTL" stop -m immediate >/dev/null ||
        { kill -TERM $cli_pid; fail "pg_ctl stop failed"; }
    fi
    add_usb_port "$tree" "ttyACM$i" "1-$((i + 1))" "UNIT$i" "${units[$i]}"
    wait_until 60 lines_or_gone "$work/repeat.jsonl" $((i + 1)) $cli_pid
    lines_at_least "$work/repeat.jsonl" $((i + 1)) || break
  done
  local done_lines status=0 ok queued
  done_lines=$(wc -l <"$work/repeat.jsonl")
  # SIGTERM, not SIGINT: a program started in the background by a script inherits SIGINT ignored.
  kill -TERM $cli_pid 2>/dev/null
  wait_until 60 gone $cli_pid ||
    { kill -KILL $cli_pid; fail "the --repeat run did not end within 60 s of SIGTERM"; }
  wait $cli_pid || status=$?
  "$LUMAFLASH_PG_CTL" start >/dev/null || fail "the server did not start again"
  [[ $done_lines == "$count" && $status == 0 ]] || fail "the updates stopped with the server:" \
    "$done_lines of $count, exit $status: $(tail -n 2 "$work/repeat.err")"
  ok=$(grep -c '"result":"ok"' "$work/repeat.jsonl")
  [[ $ok == "$count" ]] || fail "only $ok of $count updates succeeded"
  queued=$(count_waiting "$store")
  ((queued >= count - stop_at)) ||
    fail "only $queued records were queued, but $((count - stop_at)) ended with the server down"
  sync_store "$store" || fail "records sync failed: $(cat "$work/sync.out")"
  sync_store "$store" || fail "a second records sync failed: $(cat "$work/sync.out")"
  server_holds repeat "$count" "$store"
}

hostile='x'"'"'); DROP TABLE records; --'

# Quotes, a semicolon and a comment in an image path and in a unit's serial: stored and read
# back exactly, and the table is still there.
hostile_text_is_kept_exactly() {
  local -a unit
  start_devices unit 1
  local tree="$work/tree" store="$work/hostile.sqlite" path="$work/$hostile/$hostile.bin" stored
  add_usb_port "$tree" ttyACM0 1-2 "$hostile" "${unit[0]}"
  mkdir -p "$work/$hostile"
  cp "$image" "$path"
  (cd "$work/$hostile" && LUMAFLASH_DEVICE_ROOT=$tree cli flash "$path" --port "$tree/dev/ttyACM0" \
    --records "$store" --station hostile --records-server "${uri[station]}") \
    >"$work/hostile.out" 2>&1 || fail "the update failed: $(tail -n 2 "$work/hostile.out")"
  sync_store "$store" || fail "records sync failed: $(cat "$work/sync.out")"
  stored=$(sql reader "SELECT image_path || E'\n' || coalesce(usb_serial, '<null>') FROM records
    WHERE station = 'hostile'")
  [[ $stored == "$path"$'\n'"$hostile" ]] || fail "the server holds: $stored"
  # And back through the program, by the hostile text itself.
  LUMAFLASH_RECORDS_SERVER=${uri[reader]} cli records --server --usb-serial "$hostile" --json \
    >"$work/hostile.json" 2>"$work/hostile.err" ||
    fail "records --server failed: $(cat "$work/hostile.err")"
  python3 - "$work/hostile.json" "$path" "$hostile" <<'PY' || return 1
import json, sys
rows = [json.loads(line) for line in open(sys.argv[1], encoding="utf-8") if line.strip()]
if len(rows) != 1:
    sys.exit(f"records --server --usb-serial found {len(rows)} records, not 1")
row = rows[0]
if row["image"] != sys.argv[2] or row["usbSerial"] != sys.argv[3]:
    sys.exit(f"read back image {row['image']!r}, usbSerial {row['usbSerial']!r}")
PY
  [[ $(sql reader "SELECT to_regclass('records') IS NOT NULL") == t ]] ||
    fail "the records table is gone"
}

# A server whose schema is newer than the program knows is refused, with both versions named.
newer_server_is_refused() {
  local store="$work/newer.sqlite" out="$work/sync.out" status=0 unit
  start_devices unit 1 # one record waiting for the server, so that sync has something to send
  (cd "$work" && cli flash "$image" --port "${unit[0]}" --records "$store" >/dev/null 2>&1) ||
    fail "the update failed"
  sql admin "UPDATE lumaflash_schema SET version = 2"
  sync_store "$store" || status=$?
  sql admin "UPDATE lumaflash_schema SET version = 1"
  ((status != 0)) || fail "records sync reported success: $(cat "$out")"
  [[ $(count_waiting "$store") == 1 ]] || fail "the record no longer waits for the server"
  grep -q '2' "$out" && grep -q '1' "$out" && grep -qi 'update lumaflash' "$out" ||
    fail "the message does not name both versions and the fix: $(cat "$out")"
}

# Towards a server whose certificate another CA signed nothing is sent. Towards a host that is not
# loopback, an endpoint that declines TLS and asks for the password in clear text never gets it;
# libpq on its own (sslmode=prefer), the control, hands it over. That host is 192.0.2.10 (an
# address for documentation) on the loopback interface of a network namespace of this check's
# own: to the program it is another host, and no packet leaves the namespace.
tls_is_insisted_on() {
  local store="$work/tls.sqlite" host=192.0.2.10 unit ns_pid status=0
  start_devices unit 1
  (cd "$work" && cli flash "$image" --port "${unit[0]}" --records "$store" >/dev/null 2>&1) ||
    fail "the update failed"
  LUMAFLASH_RECORDS_SERVER="${uri[station]}&sslrootcert=$LUMAFLASH_PG_OTHER_CA" \
    cli records sync --records "$store" >"$work/sync.out" 2>&1 || status=$?
  ((status == 1)) && grep -q 'certificate verify failed' "$work/sync.out" ||
    fail "records sync with the wrong CA ended $status: $(cat "$work/sync.out")"
  unshare --net sleep 120 &
  ns_pid=$!
  sim_pids+=("$ns_pid") # stopped with the devices when the check ends
  own_ns() { [[ $(readlink "/proc/$ns_pid/ns/net") != $(readlink /proc/self/ns/net) ]]; }
  wait_until 10 own_ns || fail "no network namespace of its own (unshare --net needs root)"
  in_ns() { nsenter --net="/proc/$ns_pid/ns/net" "$@"; }
  in_ns ip link set lo up && in_ns ip addr add "$host/32" dev lo || fail "no address in the namespace"
  in_ns python3 - "$host" "$work/fake.log" >"$work/fake.port" <<'PY' &
import socket, struct, sys
listener = socket.create_server((sys.argv[1], 0))
print(listener.getsockname()[1], flush=True)
log = open(sys.argv[2], "a", buffering=1)
while True:
    connection, _ = listener.accept()
    stream = connection.makefile("rb")
    try:
        length, code = struct.unpack("!ii", stream.read(8))
        while code in (80877103, 80877104):  # TLS or GSSAPI encryption asked for: declined
            log.write("encryption asked\n")
            connection.sendall(b"N")
            length, code = struct.unpack("!ii", stream.read(8))
        stream.read(length - 8)
        connection.sendall(b"R" + struct.pack("!ii", 8, 3))  # the password, in clear text
        length = struct.unpack("!xi", stream.read(5))[0]
        log.write("password " + stream.read(length - 4).rstrip(b"\0").decode() + "\n")
    except (struct.error, OSError):  # the client hung up
        pass
    connection.close()
PY
  sim_pids+=($!)
  wait_until 10 test -s "$work/fake.port" || fail "the fake endpoint did not start"
  local fake="postgresql://lumaflash_station@$host:$(cat "$work/fake.port")/lumaflash"
  echo "$host:*:*:*:fake-secret" >"$work/fake.pgpass" && chmod 0600 "$work/fake.pgpass"
  unset PGSSLMODE PGSSLROOTCERT
  PGPASSFILE=$work/fake.pgpass in_ns timeout 20 psql -X -c "SELECT 1" "$fake" >/dev/null 2>&1
  [[ $(cat "$work/fake.log") == *"password fake-secret" ]] || fail "the control got no password"
  : >"$work/fake.log"
  PGPASSFILE=$work/fake.pgpass LUMAFLASH_RECORDS_SERVER="$fake?sslrootcert=$LUMAFLASH_PG_CA" in_ns \
    timeout 60 "$cli" records sync --records "$store" >"$work/sync.out" 2>&1 && fail "sync succeeded"
  [[ $(cat "$work/fake.log") == "encryption asked" ]] ||
    fail "the endpoint saw more than a request for TLS: $(cat "$work/fake.log")"
  [[ $(count_waiting "$store") == 1 ]] || fail "the record no longer waits for the server"
}

check "station role: INSERT only (no UPDATE, DELETE, TRUNCATE, SELECT of records)" roles_are_append_only
check "8 processes x 50 records into one server: 400 rows, no duplicates, none lost" eight_stations_at_once
check "server stopped hard during --repeat: updates go on, records sync delivers each once" server_stopped_during_repeat
check "'); DROP TABLE records; -- in an image path and a USB serial: kept exactly" hostile_text_is_kept_exactly
check "server schema newer than the program: refused with both versions" newer_server_is_refused
check "TLS: a wrong CA is refused; off loopback, no password without it; the record waits" tls_is_insisted_on

echo "$passed passed, $failed failed"
((failed == 0))
