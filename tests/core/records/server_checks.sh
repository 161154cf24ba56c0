#!/usr/bin/env bash
# Station records against a real PostgreSQL server, end to end: lumaflash-cli updates simulated
# devices on pseudo-terminals, keeps each attempt in a local store of its own and forwards it.
# Runs inside scripts/with_postgres.sh, which provides the server:
#   bash scripts/with_postgres.sh bash tests/core/records/server_checks.sh [BUILD_DIR]
# Prints one line per check and then "N passed, N failed"; exits 1 when any check failed.
set -uo pipefail
root=$(cd "$(dirname "$0")/../../.." && pwd)
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
# count_waiting STORE [DATABASE]: records that have not gone to the server (the database
# lumaflash unless named) or been refused by it.
count_waiting() {
  local_sql "$1" "SELECT count(*) FROM records WHERE ready_place > coalesce((SELECT through FROM
    forward_servers WHERE identity LIKE '%/${2:-lumaflash}'), 0)"
}
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

# add_database NAME: a second factory's database on the same server, with roles of its own
# (NAME_station, NAME_reader) and their passwords in the password file.
add_database() {
  sql admin "CREATE DATABASE $1" >/dev/null &&
    psql -X -q -v ON_ERROR_STOP=1 "${uri[admin]% dbname=*} dbname=$1" \
      -f "$root/docs/records.sql" >/dev/null && add_login "$1_station" "$1" || return 1
  uri[$1]=${uri[$1_station]}
}
# add_login ROLE DATABASE: a password for ROLE (given on standard input, never on a command
# line), in the password file, and its URI as uri[ROLE].
add_login() {
  local password
  password=$(od -An -N16 -tx1 /dev/urandom | tr -d ' \n')
  psql -X -q -v ON_ERROR_STOP=1 "${uri[admin]}" <<<"ALTER ROLE $1 PASSWORD '$password'" || return 1
  echo "127.0.0.1:$PGPORT:$2:$1:$password" >>"$PGPASSFILE"
  uri[$1]="postgresql://$1@127.0.0.1:$PGPORT/$2"
}

# The roles: the station adds records through the program's columns and reads the schema
# version; it reads, changes and forges nothing, and only its own database lets it in.
roles_are_append_only() {
  local id=00000000-0000-4000-8000-000000000001 statement
  local insert="INSERT INTO records (id, started_at, ended_at, station, operator, program_version,
    port, result, duration_ms) VALUES ('$id', now(), now(), 'roles', 'o', '0', 'p', 'ok', 1)
    ON CONFLICT DO NOTHING"
  sql station "$insert" || fail "the station cannot add a record"
  sql station "$insert" || fail "a record sent twice is an error" # no error, and no second row
  [[ $(sql reader "SELECT count(*) || login FROM records WHERE id = '$id' GROUP BY login") == \
    1lumaflash_station ]] || fail "a record sent twice is not one row with the station's login"
  [[ $(sql station "SELECT version FROM lumaflash_schema") == 2 ]] ||
    fail "the station cannot read the schema version"
  # forge COLUMN VALUE: a record that also sets a column the server fills in.
  forge() { echo "${insert/duration_ms)/duration_ms, $1)}" | sed "s/'ok', 1)/'ok', 1, $2)/"; }
  for statement in "UPDATE records SET result = 'forged'" "DELETE FROM records" \
    "TRUNCATE records" "SELECT id FROM records" "SELECT count(*) FROM records" \
    "UPDATE lumaflash_schema SET version = 9" "CREATE TEMP TABLE t (i int)" \
    "$(forge received_at "'2000-01-01'")" "$(forge login "'someone'")"; do
    ! sql station "$statement" >/dev/null 2>&1 || fail "the station role may: $statement"
  done
  for statement in "${insert/00000001/00000002}" "DELETE FROM records"; do
    ! sql reader "$statement" >/dev/null 2>&1 || fail "the reader role may: $statement"
  done
  ! psql -X -c "SELECT 1" "${uri[station]/\/lumaflash\?//factory_b?}" >/dev/null 2>&1 ||
    fail "factory A's station role connects to factory B's database"
  ! psql -X -c "SELECT 1" "${uri[factory_b]%/factory_b}/lumaflash" >/dev/null 2>&1 ||
    fail "factory B's station role connects to factory A's database"
  sql admin "DELETE FROM records WHERE station = 'roles'"
}

# One process, one device, runs of lumaflash-cli until COUNT attempts are recorded. Under load a
# simulated device may miss a time-out: that attempt is recorded as failed (exit 9) and counts,
# a run that found no device (exit 4) recorded nothing and is run again; the check is about
# the records, not about the devices' timing.
update_many() {
  local port=$1 store=$2 station=$3 count=$4 runs=0 status
  mkdir -p "$work/$station"
  cd "$work/$station" || return 1
  until [[ -f $store && $(local_sql "$store" "SELECT count(*) FROM records") -ge $count ]]; do
    ((runs++ < 2 * count)) || fail "$station: $count attempts not recorded in $runs runs"
    status=0
    cli flash "$image" --port "$port" --json --records "$store" --station "$station" \
      --records-server "${uri[station]}" >>"$work/$station.jsonl" 2>>"$work/$station.err" ||
      status=$?
    ((status == 0 || status == 4 || status == 9)) ||
      fail "run $runs of $station ended with $status: $(tail -n 2 "$work/$station.err")"
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

hostile='x"\'"'"'); DROP TABLE records; --'

# Quotes (single and double), a backslash, a semicolon and a comment in an image path and in a
# unit's serial: stored and read back exactly, and the table is still there.
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
  sql admin "UPDATE lumaflash_schema SET version = 3"
  sync_store "$store" || status=$?
  sql admin "UPDATE lumaflash_schema SET version = 2"
  ((status != 0)) || fail "records sync reported success: $(cat "$out")"
  [[ $(count_waiting "$store") == 1 ]] || fail "the record no longer waits for the server"
  grep -q 'version 3, .* up to 2: update Lumaflash' "$out" ||
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

# update_once STORE STATION [OPTION]...: one update (of $IMAGE, by default the tiny image) on
# the check's own device, kept in STORE.
update_once() {
  local store=$1 station=$2
  shift 2
  [[ -n ${once_port:-} ]] || { start_devices once_port 1; }
  (cd "$work" && cli flash "${IMAGE:-$image}" --port "${once_port[0]}" --json --records "$store" \
    --station "$station" "$@" >>"$work/$station.jsonl" 2>>"$work/$station.err") ||
    fail "the update of $station failed: $(tail -n 2 "$work/$station.err")"
}
now_ms() { echo $(($(date +%s%N) / 1000000)); }

# Records the server refuses for good (a Latin-1 file name; a rule the administrator set) are set
# aside with the server's reason while the records around them go on. records sync says so
# (exit 1) until the cause is mended, and then delivers what the server takes.
refused_record_never_blocks() {
  local store="$work/refused.sqlite" latin="$work/L"$'\xfc'"fter.bin" status=0 id
  cp "$image" "$latin"
  sql admin "ALTER TABLE records ADD CONSTRAINT by_rule CHECK (station <> 'refused-by-rule')"
  update_once "$store" refused --records-server "${uri[station]}"
  IMAGE=$latin update_once "$store" refused --records-server "${uri[station]}"
  update_once "$store" refused-by-rule --records-server "${uri[station]}"
  update_once "$store" refused --records-server "${uri[station]}"
  id=$(local_sql "$store" "SELECT id FROM records WHERE station = 'refused-by-rule'")
  sync_store "$store" || status=$?
  ((status == 1)) && grep -q '^sent 0, waiting 0, rejected 1$' "$work/sync.out" &&
    grep -q "$id.*SQLSTATE 23514" "$work/sync.out" ||
    fail "records sync did not name the refused record: $status $(cat "$work/sync.out")"
  [[ $(cli records --rejected --records "$store" | grep -c ' 23514') == 1 ]] ||
    fail "records --rejected does not list it: $(cli records --rejected --records "$store")"
  # A file name that is not UTF-8 is no refusal: the record holds it made well-formed.
  [[ $(sql reader "SELECT count(*) FROM records WHERE image_path = '$work/L'||U&'\\FFFD'||'fter.bin'") == 1 ]] ||
    fail "the record of the Latin-1 file name is not on the server, well-formed"
  sql admin "ALTER TABLE records DROP CONSTRAINT by_rule"
  sync_store "$store" && grep -q '^sent 1, waiting 0$' "$work/sync.out" ||
    fail "the mended record was not delivered: $(cat "$work/sync.out")"
  [[ $(sql reader "SELECT count(*) FROM records WHERE station LIKE 'refused%'") == 4 ]] ||
    fail "the server does not hold the four records"
}

# The records table held locked by an administrator at the end of a run: the run ends within its
# 5 s with the queue message, and at once on SIGTERM after its update; afterwards records sync
# delivers both records.
locked_table_bounds_the_end() {
  local -a unit
  local store="$work/locked.sqlite" pid started signalled status holder
  start_devices unit 1
  # Held for 40 s at most, and let go when this check ends however it ends, so that a failure
  # here does not leave the table locked under the checks that follow.
  psql -X -q "${uri[admin]}" -c "BEGIN; LOCK TABLE records; SELECT pg_sleep(40)" >/dev/null 2>&1 &
  holder=$!
  trap 'kill $holder 2>/dev/null; release_sleepers; stop_devices' EXIT
  wait_until 20 sql_is 1 "SELECT count(*) FROM pg_locks WHERE relation = 'records'::regclass
    AND mode = 'AccessExclusiveLock' AND granted" || fail "the table was not locked"
  for signal in none TERM; do
    (cd "$work" && exec "$cli" flash "$image" --port "${unit[0]}" --json --records "$store" \
      --station locked --records-server "${uri[station]}") >"$work/locked.jsonl" 2>"$work/locked.err" &
    pid=$!
    wait_until 30 lines_or_gone "$work/locked.jsonl" 1 $pid
    started=$(now_ms)
    if [[ $signal == TERM ]]; then
      wait_until 10 sql_is 1 "SELECT count(*) FROM pg_stat_activity WHERE application_name =
        'lumaflash' AND wait_event_type = 'Lock'" || fail "the program's insert did not wait"
      signalled=$(now_ms)
      kill -TERM $pid
    fi
    wait_until 20 gone $pid || { kill -KILL $pid; fail "the run ($signal) did not end in 20 s"; }
    status=0
    wait $pid || status=$?
    # A SIGTERM may still find the run before its end (exit 10) or already in its wait (0).
    { ((status == 0)) || [[ $status == 10 && $signal == TERM ]]; } &&
      grep -q 'record(s) still queued' "$work/locked.err" ||
      fail "the run ($signal) ended with $status: $(tail -n 1 "$work/locked.err")"
    # Bounds with room for a loaded machine that still tell the 5 s end from the 40 s lock.
    (($(now_ms) - started <= 5000 + end_margin_ms)) ||
      fail "the run ended $(($(now_ms) - started)) ms after its update"
    [[ $signal == none ]] || (($(now_ms) - signalled <= end_margin_ms)) ||
      fail "the run ended $(($(now_ms) - signalled)) ms after SIGTERM, not at once"
  done
  kill $holder
  release_sleepers
  sync_store "$store" && grep -q '^sent 2, waiting 0$' "$work/sync.out" ||
    fail "records sync did not deliver the two queued records: $(cat "$work/sync.out")"
}
sql_is() { [[ $(sql admin "$2") == "$1" ]]; }
release_sleepers() {
  sql admin "SELECT pg_terminate_backend(pid) FROM pg_stat_activity WHERE pid <> pg_backend_pid()
    AND query LIKE '%pg_sleep(40)'" >/dev/null
}
# What a loaded machine may add to a bounded end: a run's own work after its update, and the
# scheduling of a few busy processes on two cores.
end_margin_ms=3000

# 20,000 records queued when a run starts (after an outage): the run still ends within its 5 s;
# what it did not send stays queued; nothing is lost or doubled.
backlog_at_exit() {
  local store="$work/backlog.sqlite" started on_server
  update_once "$store" backlog
  local_sql "$store" "WITH RECURSIVE n(i) AS (SELECT 1 UNION ALL SELECT i + 1 FROM n WHERE i < 20000)
    INSERT INTO records (id, started_at, ended_at, station, operator, program_version, port,
    result, duration_ms) SELECT printf('%08x-0000-4000-8000-%012x', i, i), 1780000000000 + i,
    1780000000900 + i, 'backlog', 'o', '0', 'p', 'ok', 900 FROM n"
  # Timed from the update's end (its result line), not from the start: the transfer's own time
  # is not the bound's.
  local pid
  (cd "$work" && exec timeout 120 "$cli" flash "$image" --port "${once_port[0]}" --json \
    --records "$store" --station backlog --records-server "${uri[station]}") \
    >"$work/backlog.jsonl" 2>"$work/backlog.err" &
  pid=$!
  wait_until 60 lines_or_gone "$work/backlog.jsonl" 1 $pid
  started=$(now_ms)
  wait $pid || fail "the update of backlog failed: $(tail -n 2 "$work/backlog.err")"
  (($(now_ms) - started <= 5000 + end_margin_ms)) ||
    fail "the run ended $(($(now_ms) - started)) ms after its update"
  on_server=$(sql reader "SELECT count(*) FROM records WHERE station = 'backlog'")
  ((on_server + $(count_waiting "$store") >= 20002)) || fail "records were lost: $on_server sent"
  sync_store "$store" || fail "records sync failed: $(cat "$work/sync.out")"
  server_holds backlog 20002 "$store"
}

# A second server (another factory's database on the same machine) gets every record too, and the
# first is not sent them again. Records that a version-1 store marked as forwarded named no
# server: they go once more to the next server reached, never dropped.
second_server_gets_everything() {
  local store="$work/two.sqlite" db sent
  # A store as version 1 left it: the records table with its forwarded mark (types as SQLite's).
  local_sql "$store" "CREATE TABLE records ($(sql admin "SELECT string_agg(column_name || ' ' ||
    CASE WHEN data_type LIKE '%int%' OR data_type LIKE 'timestamp%' THEN 'INTEGER' ELSE 'TEXT'
    END, ', ' ORDER BY ordinal_position) FROM information_schema.columns WHERE table_name =
    'records' AND column_name NOT IN ('received_at', 'login')"), forwarded INTEGER NOT NULL
    DEFAULT 0); CREATE INDEX records_unforwarded ON records (started_at) WHERE forwarded = 0;
    INSERT INTO records (id, started_at, ended_at, station, operator, program_version, port,
    result, duration_ms, forwarded) VALUES ('00000000-0000-4000-8000-0000000000a1', 1, 2, 'two',
    'o', '0', 'p', 'ok', 1, 1), ('00000000-0000-4000-8000-0000000000a2', 3, 4, 'two', 'o', '0',
    'p', 'ok', 1, 0); PRAGMA user_version = 1"
  for row in station:2 factory_b:2 station:0; do
    IFS=: read -r db sent <<<"$row"
    LUMAFLASH_RECORDS_SERVER=${uri[$db]} cli records sync --records "$store" >"$work/sync.out" 2>&1 &&
      grep -q "^sent $sent, waiting 0$" "$work/sync.out" ||
      fail "records sync to $db did not send $sent: $(cat "$work/sync.out")"
  done
  [[ $(psql -X -t -A "${uri[admin]% dbname=*} dbname=factory_b" -c \
    "SELECT count(DISTINCT id) FROM records WHERE station = 'two'") == 2 ]] ||
    fail "the second server does not hold both records"
  server_holds two 2 "$store"
}

# A server that takes the connection and then refuses the batch (disk full) or loses it (the
# session ends): the records wait, none is refused for good. A record the server already has,
# sent again by the program (its mark lost): still one row, and success. An attempt in progress
# is not sent until it is finished.
batch_refused_or_lost_waits() {
  local store="$work/lost.sqlite" how
  update_once "$store" lost
  for how in "RAISE EXCEPTION 'disk full' USING ERRCODE = '53100'" \
    "PERFORM pg_terminate_backend(pg_backend_pid())"; do
    sql admin "CREATE OR REPLACE FUNCTION fail_batch() RETURNS trigger SECURITY DEFINER
      LANGUAGE plpgsql AS \$\$ BEGIN $how; RETURN NEW; END \$\$;
      CREATE OR REPLACE TRIGGER fail_batch BEFORE INSERT ON records FOR EACH ROW
      EXECUTE FUNCTION fail_batch()"
    ! sync_store "$store" && grep -q '^sent 0, waiting 1$' "$work/sync.out" ||
      fail "a failed batch ($how) did not leave the record waiting: $(cat "$work/sync.out")"
  done
  sql admin "DROP TRIGGER fail_batch ON records"
  sync_store "$store" || fail "records sync failed: $(cat "$work/sync.out")"
  local_sql "$store" "UPDATE forward_servers SET through = 0"
  sync_store "$store" && grep -q '^sent 1, waiting 0$' "$work/sync.out" ||
    fail "a record sent again was not a success: $(cat "$work/sync.out")"
  # An attempt still in progress (its row owned by a program that runs: this shell) goes once it
  # is finished, not before; the program ending without finishing it makes it unfinished.
  local owner="linux $(cat /proc/sys/kernel/random/boot_id) $$ $(awk '{ print $22 }' /proc/$$/stat)"
  local_sql "$store" "INSERT INTO records (id, started_at, ended_at, station, operator,
    program_version, port, result, duration_ms, owner) SELECT
    '00000000-0000-7000-8000-0000000000b1', started_at, ended_at, station, operator,
    program_version, port, 'unfinished', 0, '$owner' FROM records"
  for sent in 0 1; do
    sync_store "$store" && grep -q "^sent $sent, waiting 0$" "$work/sync.out" ||
      fail "records sync of an attempt in progress: $(cat "$work/sync.out")"
    local_sql "$store" "UPDATE records SET result = 'interrupted', owner = NULL WHERE owner IS NOT NULL"
  done
  server_holds lost 2 "$store"
}

# records sync says what is wrong, with exit 1, and makes nothing: a store that does not exist,
# one without the records table (copied without its -wal), a role that may not insert, a URI
# with a mistake. records export makes a copy that records sync delivers.
sync_tells_the_truth() {
  local good="$work/truth.sqlite" row store role want code status
  update_once "$good" truth
  sqlite3 "$work/empty.sqlite" "CREATE TABLE t (i)"
  uri[typo]="${uri[station]}&sslmod=require"
  for row in "$work/none.sqlite|station|does not exist|1" "$work/empty.sqlite|station|no records table|1" \
    "$good|reader|lumaflash_reader may not add records|1" "$good|typo|unknown parameter \"sslmod\"|2"; do
    IFS='|' read -r store role want code <<<"$row"
    status=0
    LUMAFLASH_RECORDS_SERVER=${uri[$role]} cli records sync --records "$store" >"$work/sync.out" 2>&1 ||
      status=$?
    ((status == code)) && grep -q "$want" "$work/sync.out" ||
      fail "records sync ($row) ended with $status: $(cat "$work/sync.out")"
  done
  [[ ! -e $work/none.sqlite ]] || fail "records sync made a store"
  cli records export --records "$good" --to "$work/copy.sqlite" >/dev/null || fail "export failed"
  sync_store "$work/copy.sqlite" || fail "records sync of the copy failed: $(cat "$work/sync.out")"
  server_holds truth 1 "$work/copy.sqlite"
}

# docs/records_server.md's one login per station, run on the second factory's database: a station
# writes records under its own name, and one under another name is refused for good.
one_login_per_station() {
  local store="$work/line.sqlite" status=0
  awk '/^## One role per station/ { on = 1 } on && /^```sql/ { copy = 1; next } copy && /^```/ {
    exit } copy' "$root/docs/records_server.md" | sed 's/lumaflash_/factory_b_/g' |
    psql -X -q -v ON_ERROR_STOP=1 "${uri[admin]% dbname=*} dbname=factory_b" >/dev/null ||
    fail "the example of docs/records_server.md did not run"
  add_login factory_b_station_line1 factory_b
  update_once "$store" line1 --records-server "${uri[factory_b_station_line1]}"
  update_once "$store" line2 --records-server "${uri[factory_b_station_line1]}"
  LUMAFLASH_RECORDS_SERVER=${uri[factory_b_station_line1]} cli records sync --records "$store" \
    >"$work/sync.out" 2>&1 || status=$?
  ((status == 1)) && grep -q '^sent 0, waiting 0, rejected 1$' "$work/sync.out" &&
    grep -q 'SQLSTATE 42501' "$work/sync.out" || fail "records sync: $(cat "$work/sync.out")"
  [[ $(psql -X -t -A "${uri[admin]% dbname=*} dbname=factory_b" -c "SELECT station || ' ' ||
    login FROM records WHERE station LIKE 'line%'") == "line1 factory_b_station_line1" ]] ||
    fail "the server does not hold line1's record alone, under its login"
}

add_database factory_b || unready "a second database could not be made"
# The table of hand-checked data sets of the questions (yield across midnight in the factory's
# zone, rework, units without a serial number, attempts never started, two stations), against
# this server: the same table the test suite runs against the local store.
questions_on_the_server() {
  local test="$build/tests/questions_test"
  [[ -x $test ]] || fail "$test is missing; build the tests first"
  "$test" --gtest_filter='*Server*' >"$work/questions.out" 2>&1 ||
    fail "$(grep -E -m 3 'Failure|FAILED|Which is' "$work/questions.out" | tr '\n' ' ')"
  ! grep -q 'SKIPPED \]' "$work/questions.out" ||
    fail "skipped: $(grep -m 1 -B 1 'SKIPPED \]' "$work/questions.out" | head -n 1)"
  grep -q 'PASSED' "$work/questions.out" || fail "no test ran"
}

check "station role: INSERT only (no UPDATE, DELETE, TRUNCATE, SELECT of records)" roles_are_append_only
check "8 processes x 50 records into one server: 400 rows, no duplicates, none lost" eight_stations_at_once
check "server stopped hard during --repeat: updates go on, records sync delivers each once" server_stopped_during_repeat
check "'); DROP TABLE records; -- in an image path and a USB serial: kept exactly" hostile_text_is_kept_exactly
check "server schema newer than the program: refused with both versions" newer_server_is_refused
check "TLS: a wrong CA is refused; off loopback, no password without it; the record waits" tls_is_insisted_on
check "a record the server refuses for good is set aside; the others go on" refused_record_never_blocks
check "records table locked at the end: the run ends within 5 s, at once on SIGTERM" locked_table_bounds_the_end
check "20,000 records queued at the start: the run ends in time, none lost or doubled" backlog_at_exit
check "a second server gets every record too; version-1 marks are sent once more" second_server_gets_everything
check "a batch refused or lost after the connection: records wait; a resent record is one row; in progress waits" batch_refused_or_lost_waits
check "records sync: missing store, no table, reader role, URI mistake; records export" sync_tells_the_truth
check "one login per station (docs/records_server.md): a station writes only its own name" one_login_per_station
check "questions of hand-checked data sets: the server's summary rows as written out" questions_on_the_server

echo "$passed passed, $failed failed"
((failed == 0))
