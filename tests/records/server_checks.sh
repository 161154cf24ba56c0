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

for variable in LUMAFLASH_PG_STATION_URI LUMAFLASH_PG_READER_URI LUMAFLASH_PG_ADMIN LUMAFLASH_PG_CTL; do
  [[ -n ${!variable:-} ]] || {
    echo "server_checks: $variable is not set; run me through scripts/with_postgres.sh" >&2
    exit 2
  }
done
for program in "$cli" "$sim" "$mkimage"; do
  [[ -x $program ]] || {
    echo "server_checks: $program is missing; build first (scripts/build.sh)" >&2
    exit 2
  }
done

work=$(mktemp -d "${TMPDIR:-/tmp}/lumaflash-records.XXXXXX")
sim_pids=()
cleanup() {
  local pid
  for pid in "${sim_pids[@]}"; do
    kill -TERM "$pid" 2>/dev/null
    wait "$pid" 2>/dev/null
  done
  rm -rf "$work"
}
trap cleanup EXIT
# Never the user's own store, whatever a check forgets to name.
export LUMAFLASH_RECORDS="$work/default.sqlite"
export XDG_STATE_HOME="$work/state"
unset LUMAFLASH_RECORDS_SERVER

passed=0
failed=0
# check NAME FUNCTION: the function prints why it failed (one line) and returns non-zero.
check() {
  local name=$1
  shift
  # Not in a subshell: the devices a check starts must be known to the clean-up.
  if "$@" >"$work/why" 2>&1; then
    echo "ok     $name"
    passed=$((passed + 1))
  else
    echo "FAILED $name: $(tail -n 3 "$work/why" | tr '\n' ' ')"
    failed=$((failed + 1))
  fi
}

admin_sql() { psql -X -q -t -A -v ON_ERROR_STOP=1 "$LUMAFLASH_PG_ADMIN" -c "$1"; }
station_sql() { psql -X -q -t -A -v ON_ERROR_STOP=1 "$LUMAFLASH_PG_STATION_URI" -c "$1"; }
reader_sql() { psql -X -q -t -A -v ON_ERROR_STOP=1 "$LUMAFLASH_PG_READER_URI" -c "$1"; }
local_sql() { sqlite3 -batch -noheader "$1" "$2"; }

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
start_devices() {
  local -n started_ports=$1
  local count=$2 out="$work/sim-${#sim_pids[@]}.out"
  shift 2
  "$sim" --count "$count" --stay "$@" >"$out" 2>"$out.err" &
  sim_pids+=($!)
  wait_until 20 lines_at_least "$out" "$count" || {
    echo "the simulated devices did not start: $(cat "$out.err")" >&2
    return 1
  }
  mapfile -t started_ports < <(awk '{ print $1 }' "$out")
}

image="$work/tiny.bin"
"$mkimage" 3514 512 "$image" >/dev/null

server_ids() { reader_sql "SELECT id FROM records WHERE station LIKE '$1%' ORDER BY id"; }
local_ids() {
  local store
  for store in "$@"; do local_sql "$store" "SELECT id FROM records"; done | LC_ALL=C sort
}

# The roles: the station adds records and reads the schema version, and changes nothing.
roles_are_append_only() {
  local id=00000000-0000-4000-8000-000000000001
  local insert="INSERT INTO records (id, started_at, ended_at, station, operator, program_version,
    port, result, duration_ms) VALUES ('$id', now(), now(), 'roles', 'o', '0', 'p', 'ok', 1)
    ON CONFLICT (id) DO NOTHING"
  station_sql "$insert" || return 1
  station_sql "$insert" || return 1 # the same record again: no error, no second row
  [[ $(reader_sql "SELECT count(*) FROM records WHERE id = '$id'") == 1 ]] ||
    { echo "a record sent twice is not one row"; return 1; }
  [[ $(station_sql "SELECT version FROM lumaflash_schema") == 1 ]] ||
    { echo "the station cannot read the schema version"; return 1; }
  local statement
  for statement in "UPDATE records SET result = 'forged'" "DELETE FROM records" \
    "TRUNCATE records" "SELECT station FROM records" "UPDATE lumaflash_schema SET version = 9"; do
    if station_sql "$statement" >/dev/null 2>&1; then
      echo "the station role may: $statement"
      return 1
    fi
  done
  for statement in "${insert/00000001/00000002}" "DELETE FROM records"; do
    if reader_sql "$statement" >/dev/null 2>&1; then
      echo "the reader role may: $statement"
      return 1
    fi
  done
  admin_sql "DELETE FROM records WHERE station = 'roles'"
}

# One process, one device, COUNT updates, each its own run of lumaflash-cli.
update_many() {
  local port=$1 store=$2 station=$3 count=$4 run
  mkdir -p "$work/$station"
  cd "$work/$station" || return 1
  for ((run = 0; run < count; run++)); do
    cli flash "$image" --port "$port" --json --records "$store" --station "$station" \
      --records-server "$LUMAFLASH_PG_STATION_URI" >>"$work/$station.jsonl" 2>>"$work/$station.err" ||
      { echo "run $run of $station failed: $(tail -n 2 "$work/$station.err")"; return 1; }
  done
}

eight_stations_at_once() {
  local -a line
  start_devices line 8 || return 1
  local i pids=() stores=()
  for i in 0 1 2 3 4 5 6 7; do
    stores+=("$work/eight-$i.sqlite")
    update_many "${line[$i]}" "${stores[$i]}" "eight-$i" 50 >"$work/eight-$i.why" &
    pids+=($!)
  done
  local bad=0
  for i in 0 1 2 3 4 5 6 7; do
    wait "${pids[$i]}" || { cat "$work/eight-$i.why"; bad=1; }
  done
  ((bad == 0)) || return 1
  local rows distinct
  rows=$(reader_sql "SELECT count(*) FROM records WHERE station LIKE 'eight-%'")
  distinct=$(reader_sql "SELECT count(DISTINCT id) FROM records WHERE station LIKE 'eight-%'")
  [[ $rows == 400 && $distinct == 400 ]] || { echo "the server holds $rows rows ($distinct ids), not 400"; return 1; }
  # None lost and none made up: the server holds exactly what the stations recorded.
  diff <(local_ids "${stores[@]}") <(server_ids eight-) >/dev/null ||
    { echo "the server's ids differ from the stations' ids"; return 1; }
  local waiting=0
  for i in 0 1 2 3 4 5 6 7; do
    waiting=$((waiting + $(local_sql "${stores[$i]}" "SELECT count(*) FROM records WHERE forwarded = 0")))
  done
  [[ $waiting == 0 ]] || { echo "$waiting records are still marked as waiting"; return 1; }
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
  local count=24 stop_at=6 store="$work/repeat.sqlite" tree="$work/line"
  start_devices units $count || return 1
  mkdir -p "$tree/dev" "$tree/sys/class/tty" "$work/repeat"
  (cd "$work/repeat" && LUMAFLASH_DEVICE_ROOT=$tree exec "$cli" flash "$image" --repeat --json \
    --records "$store" --station repeat --records-server "$LUMAFLASH_PG_STATION_URI") \
    >"$work/repeat.jsonl" 2>"$work/repeat.err" &
  local cli_pid=$! i
  for ((i = 0; i < count; i++)); do
    if ((i == stop_at)); then
      "$LUMAFLASH_PG_CTL" stop -m immediate >/dev/null || { kill -TERM $cli_pid; echo "pg_ctl stop failed"; return 1; }
    fi
    add_usb_port "$tree" "ttyACM$i" "1-$((i + 1))" "UNIT$i" "${units[$i]}"
    wait_until 60 lines_or_gone "$work/repeat.jsonl" $((i + 1)) $cli_pid
    lines_at_least "$work/repeat.jsonl" $((i + 1)) || break
  done
  local done_lines
  done_lines=$(wc -l <"$work/repeat.jsonl")
  # SIGTERM, not SIGINT: a program started in the background by a script inherits SIGINT ignored.
  kill -TERM $cli_pid 2>/dev/null
  if ! wait_until 60 gone $cli_pid; then
    kill -KILL $cli_pid
    echo "the --repeat run did not end within 60 s of SIGTERM"
    return 1
  fi
  local status=0
  wait $cli_pid || status=$?
  "$LUMAFLASH_PG_CTL" start >/dev/null || { echo "the server did not start again"; return 1; }
  [[ $done_lines == "$count" && $status == 0 ]] ||
    { echo "the updates stopped with the server: $done_lines of $count, exit $status: $(tail -n 2 "$work/repeat.err")"; return 1; }
  local ok
  ok=$(grep -c '"result":"ok"' "$work/repeat.jsonl")
  [[ $ok == "$count" ]] || { echo "only $ok of $count updates succeeded"; return 1; }
  local queued
  queued=$(local_sql "$store" "SELECT count(*) FROM records WHERE forwarded = 0")
  ((queued >= count - stop_at)) ||
    { echo "only $queued records were queued, but $((count - stop_at)) ended with the server down"; return 1; }
  LUMAFLASH_RECORDS_SERVER=$LUMAFLASH_PG_STATION_URI cli records sync --records "$store" >"$work/sync.out" 2>&1 ||
    { echo "records sync failed: $(cat "$work/sync.out")"; return 1; }
  LUMAFLASH_RECORDS_SERVER=$LUMAFLASH_PG_STATION_URI cli records sync --records "$store" >>"$work/sync.out" 2>&1 ||
    { echo "a second records sync failed: $(cat "$work/sync.out")"; return 1; }
  local rows distinct
  rows=$(reader_sql "SELECT count(*) FROM records WHERE station = 'repeat'")
  distinct=$(reader_sql "SELECT count(DISTINCT id) FROM records WHERE station = 'repeat'")
  [[ $rows == "$count" && $distinct == "$count" ]] ||
    { echo "after sync the server holds $rows rows ($distinct ids), not $count"; return 1; }
  diff <(local_ids "$store") <(server_ids repeat) >/dev/null || { echo "the server's ids differ from the station's"; return 1; }
  queued=$(local_sql "$store" "SELECT count(*) FROM records WHERE forwarded = 0")
  [[ $queued == 0 ]] || { echo "$queued records still wait after sync"; return 1; }
}

hostile='x'"'"'); DROP TABLE records; --'

# Quotes, a semicolon and a comment in an image path and in a unit's serial: stored and read
# back exactly, and the table is still there.
hostile_text_is_kept_exactly() {
  local -a unit
  start_devices unit 1 || return 1
  local tree="$work/tree" store="$work/hostile.sqlite"
  add_usb_port "$tree" ttyACM0 1-2 "$hostile" "${unit[0]}"
  mkdir -p "$work/$hostile"
  local path="$work/$hostile/$hostile.bin"
  cp "$image" "$path"
  (cd "$work/$hostile" && LUMAFLASH_DEVICE_ROOT=$tree cli flash "$path" --port "$tree/dev/ttyACM0" \
    --records "$store" --station hostile --records-server "$LUMAFLASH_PG_STATION_URI") \
    >"$work/hostile.out" 2>&1 || { echo "the update failed: $(tail -n 2 "$work/hostile.out")"; return 1; }
  LUMAFLASH_RECORDS_SERVER=$LUMAFLASH_PG_STATION_URI cli records sync --records "$store" >"$work/hostile.sync" 2>&1 ||
    { echo "records sync failed: $(cat "$work/hostile.sync")"; return 1; }
  local stored
  stored=$(reader_sql "SELECT image_path || E'\n' || coalesce(usb_serial, '<null>') FROM records WHERE station = 'hostile'")
  [[ $stored == "$path"$'\n'"$hostile" ]] || { echo "the server holds: $stored"; return 1; }
  # And back through the program, by the hostile text itself.
  LUMAFLASH_RECORDS_SERVER=$LUMAFLASH_PG_READER_URI cli records --server --usb-serial "$hostile" --json \
    >"$work/hostile.json" 2>"$work/hostile.err" || { echo "records --server failed: $(cat "$work/hostile.err")"; return 1; }
  python3 - "$work/hostile.json" "$path" "$hostile" <<'PY' || return 1
import json, sys
rows = [json.loads(line) for line in open(sys.argv[1], encoding="utf-8") if line.strip()]
if len(rows) != 1:
    sys.exit(f"records --server --usb-serial found {len(rows)} records, not 1")
row = rows[0]
if row["image"] != sys.argv[2] or row["usbSerial"] != sys.argv[3]:
    sys.exit(f"read back image {row['image']!r}, usbSerial {row['usbSerial']!r}")
PY
  [[ $(reader_sql "SELECT to_regclass('records') IS NOT NULL") == t ]] || { echo "the records table is gone"; return 1; }
}

# A server whose schema is newer than the program knows is refused, with both versions named.
newer_server_is_refused() {
  local -a unit
  local store="$work/newer.sqlite"
  start_devices unit 1 || return 1
  # One record waiting for the server, so that sync has something to send.
  (cd "$work" && cli flash "$image" --port "${unit[0]}" --records "$store" >/dev/null 2>&1) ||
    { echo "the update failed"; return 1; }
  admin_sql "UPDATE lumaflash_schema SET version = 2"
  local status=0
  LUMAFLASH_RECORDS_SERVER=$LUMAFLASH_PG_STATION_URI cli records sync --records "$store" >"$work/newer.out" 2>&1 ||
    status=$?
  admin_sql "UPDATE lumaflash_schema SET version = 1"
  ((status != 0)) || { echo "records sync reported success: $(cat "$work/newer.out")"; return 1; }
  [[ $(local_sql "$store" "SELECT count(*) FROM records WHERE forwarded = 0") == 1 ]] ||
    { echo "the record no longer waits for the server"; return 1; }
  grep -q '2' "$work/newer.out" && grep -q '1' "$work/newer.out" && grep -qi 'update lumaflash' "$work/newer.out" ||
    { echo "the message does not name both versions and the fix: $(cat "$work/newer.out")"; return 1; }
}

# A local store whose schema is newer than the program knows is refused too, and left as it is.
newer_local_store_is_refused() {
  local -a unit
  local store="$work/newer-local.sqlite"
  start_devices unit 1 || return 1
  (cd "$work" && cli flash "$image" --port "${unit[0]}" --records "$store" >/dev/null 2>&1) ||
    { echo "the update failed"; return 1; }
  local_sql "$store" "PRAGMA user_version = 99" || return 1
  local before status=0
  before=$(sha256sum <"$store")
  cli records --records "$store" >"$work/newer-local.out" 2>&1 || status=$?
  ((status != 0)) || { echo "records reported success: $(cat "$work/newer-local.out")"; return 1; }
  grep -q '99' "$work/newer-local.out" || { echo "the message does not name the version: $(cat "$work/newer-local.out")"; return 1; }
  [[ $(sha256sum <"$store") == "$before" ]] || { echo "the newer store was changed"; return 1; }
}

check "station role: INSERT only (no UPDATE, DELETE, TRUNCATE, SELECT of records)" roles_are_append_only
check "8 processes x 50 records into one server: 400 rows, no duplicates, none lost" eight_stations_at_once
check "server stopped hard during --repeat: updates go on, records sync delivers each once" server_stopped_during_repeat
check "'); DROP TABLE records; -- in an image path and a USB serial: kept exactly" hostile_text_is_kept_exactly
check "server schema newer than the program: refused with both versions" newer_server_is_refused
check "local store schema newer than the program: refused, left unchanged" newer_local_store_is_refused

echo "$passed passed, $failed failed"
((failed == 0))
