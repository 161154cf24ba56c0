#!/usr/bin/env bash
# Prints what station records cost the line, against a throw-away PostgreSQL server:
#   bash scripts/with_postgres.sh bash bench/records_bench.sh [BUILD_DIR] [RUNS] [IMAGE-BYTES]
#   1. 8 devices updated at once (flash --all, an image of IMAGE-BYTES, default 32768) without
#      records, with local records only, with records forwarded to the server, and with the server down (nothing listens
#      at its address): median wall time of RUNS runs of each (default 5) and the ratios;
#   2. `records sync` of 20,000 queued records over loopback: median of RUNS runs, start of the
#      program to its end (its connection included);
#   3. `records --serial` over a local store of 100,000 records: median of 11 runs, start of the
#      program to its end.
# Figures only: nothing here passes or fails by the machine's speed.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=$(cd "${1:-$root/build}" && pwd)
runs=${2:-5}
size=${3:-32768}
cli="$build/cli/lumaflash-cli"
sim="$build/sim/lumaflash-sim"
mkimage="$build/sim/lumaflash-mkimage"
[[ -n ${LUMAFLASH_PG_STATION_URI:-} ]] || {
  echo "records_bench: run me through scripts/with_postgres.sh" >&2
  exit 2
}

work=$(mktemp -d "${TMPDIR:-/tmp}/lumaflash-bench.XXXXXX")
sim_pid=""
cleanup() {
  [[ -n $sim_pid ]] && kill -TERM "$sim_pid" 2>/dev/null && wait "$sim_pid" 2>/dev/null
  rm -rf "$work"
}
trap cleanup EXIT
export LUMAFLASH_RECORDS="$work/default.sqlite" XDG_STATE_HOME="$work/state"
unset LUMAFLASH_RECORDS_SERVER

now_ns() { date +%s%N; }
median() { sort -n | awk '{ v[NR] = $1 } END { print v[int((NR + 1) / 2)] }'; }

"$sim" --count 8 --stay >"$work/devices" 2>"$work/sim.err" &
sim_pid=$!
for _ in $(seq 400); do
  [[ -f $work/devices && $(wc -l <"$work/devices") -ge 8 ]] && break
  sleep 0.05
done
[[ $(wc -l <"$work/devices") -ge 8 ]] || { echo "records_bench: the simulated devices did not start" >&2; exit 1; }
ports=()
while read -r port _; do ports+=(--port "$port"); done <"$work/devices"
"$mkimage" 3514 "$size" "$work/image.bin" >/dev/null

# A server that is down: an address on which nothing listens, as after a crash of the server.
down_uri="postgresql://lumaflash_station@127.0.0.1:$(python3 -c 'import socket
s = socket.socket()
s.bind(("127.0.0.1", 0))
print(s.getsockname()[1])')/lumaflash"

# flash_all LABEL [OPTION]...: one update of all 8 devices at once; prints its wall time in ms.
flash_all() {
  local label=$1 start status=0
  shift
  start=$(now_ns)
  (cd "$work" && "$cli" flash "$work/image.bin" "${ports[@]}" --all "$@" >"$work/$label.out" 2>"$work/$label.err") ||
    status=$?
  if ((status != 0)); then
    echo "records_bench: flash --all ($label) exited with $status:" >&2
    grep -v '^progress' "$work/$label.out" "$work/$label.err" | tail -n 20 >&2
    exit 1
  fi
  echo $((($(now_ns) - start) / 1000000)) >>"$work/$label.ms"
}

echo "== 8 devices at once, $((size / 1024)) KiB each, median of $runs runs of each (interleaved)"
for ((run = 0; run < runs; run++)); do
  flash_all off --records off
  flash_all local --records "$work/local.sqlite"
  flash_all server --records "$work/server.sqlite" --records-server "$LUMAFLASH_PG_STATION_URI"
  flash_all down --records "$work/down.sqlite" --records-server "$down_uri"
done
off=$(median <"$work/off.ms")
local_only=$(median <"$work/local.ms")
server=$(median <"$work/server.ms")
down=$(median <"$work/down.ms")
ratio() { awk -v a="$1" -v b="$off" 'BEGIN { printf "%.3f", a / b }'; }
echo "without records:              $off ms"
echo "with records, no server:      $local_only ms  ($(ratio "$local_only")x)"
echo "with records and the server:  $server ms  ($(ratio "$server")x)"
echo "with records, server down:    $down ms  ($(ratio "$down")x)"
# queued STORE: records that have not gone to the server (the store knows one server at most).
queued() {
  sqlite3 "$1" "SELECT count(*) FROM records WHERE ready_place >
    coalesce((SELECT max(through) FROM forward_servers), 0)"
}
echo "on the server: $(psql -X -t -A "$LUMAFLASH_PG_READER_URI" -c 'SELECT count(*) FROM records') records;" \
  "still queued locally: $(queued "$work/server.sqlite") (server up), $(queued "$work/down.sqlite") (server down)"

echo "== records sync of 20,000 queued records, median of $runs runs"
(cd "$work" && "$cli" flash "$work/image.bin" "${ports[@]:0:2}" --records "$work/queue.sqlite" >/dev/null 2>&1)
sqlite3 "$work/queue.sqlite" <<'SQL'
WITH RECURSIVE n(i) AS (SELECT 1 UNION ALL SELECT i + 1 FROM n WHERE i < 20000)
INSERT INTO records (id, started_at, ended_at, station, operator, program_version, port,
  usb_vid, usb_pid, usb_serial, device_id, device_name, bootloader_version, firmware_version,
  serial, image_path, image_sha256, image_header_version, image_length, result, status,
  failed_block, block_count, duration_ms)
SELECT printf('%08x-0000-4000-8000-%012x', i, i), 1790000000000 + i * 1000, 1790000000000 + i * 1000 + 900,
  'queue', 'op', 'bench', '/dev/ttyACM0', '1209', '0001', printf('Q%05d', i), '3514',
  'Lumetta A', '0101', '0100', printf('%08X', 0x0B000000 + i), '/srv/images/lumetta-a.bin',
  'aa' || printf('%062x', 0), 1, 32768, 'ok', NULL, NULL, 64, 900
FROM n;
SQL
for ((run = 0; run < runs; run++)); do
  cp "$work/queue.sqlite" "$work/sync.sqlite"
  psql -X -q "$LUMAFLASH_PG_ADMIN" -c "DELETE FROM records WHERE station = 'queue'"
  start=$(now_ns)
  LUMAFLASH_RECORDS_SERVER=$LUMAFLASH_PG_STATION_URI "$cli" records sync --records "$work/sync.sqlite" >"$work/sync.out"
  echo $((($(now_ns) - start) / 1000000)) >>"$work/sync.ms"
done
echo "records sync: $(cat "$work/sync.out") in $(median <"$work/sync.ms") ms (whole program, connection included)"

echo "== records --serial over 100,000 records"
store="$work/many.sqlite"
# The program makes the store (its tables and indexes); the rows come in bulk.
(cd "$work" && "$cli" flash "$work/image.bin" "${ports[@]:0:2}" --records "$store" >/dev/null 2>&1)
# 100,000 attempts over 25,000 units, four each, spread over 100 days.
sqlite3 "$store" <<'SQL'
WITH RECURSIVE n(i) AS (SELECT 0 UNION ALL SELECT i + 1 FROM n WHERE i < 99999)
INSERT INTO records (id, started_at, ended_at, station, operator, program_version, port,
  usb_vid, usb_pid, usb_serial, device_id, device_name, bootloader_version, firmware_version,
  serial, image_path, image_sha256, image_header_version, image_length, result, status,
  failed_block, block_count, duration_ms)
SELECT printf('%08x-0000-4000-8000-%012x', i, i), 1780000000000 + i * 86400, 1780000000000 + i * 86400 + 900,
  'bench', 'op', 'bench', '/dev/ttyACM0', '1209', '0001', printf('U%05d', i % 25000), '3514',
  'Lumetta A', '0101', '0100', printf('%08X', 0x0A000000 + i % 25000), '/srv/images/lumetta-a.bin',
  'aa' || printf('%062x', 0), 1, 32768, CASE WHEN i % 50 = 0 THEN 'write-failed' ELSE 'ok' END,
  NULL, NULL, 64, 900
FROM n;
SQL
echo "store: $(sqlite3 "$store" 'SELECT count(*) FROM records') records, $(($(stat -c %s "$store") / 1048576)) MiB"
serial=$(printf '%08X' $((0x0A000000 + 12345)))
# time_records STORE: the median of 11 runs of records --serial, in microseconds.
time_records() {
  for _ in $(seq 11); do
    start=$(now_ns)
    "$cli" records --records "$1" --serial "$serial" >"$work/found"
    echo $((($(now_ns) - start) / 1000))
  done | median
}
time_records "$store" | awk -v s="$serial" '{ printf "records --serial %s: %.1f ms (median of 11, whole program)\n", s, $1 / 1000 }'
echo "found $(grep -c "$serial" "$work/found") records of $serial"
# The program's own start and a store of one record, for comparison: what the 100,000 add.
(cd "$work" && "$cli" flash "$work/image.bin" "${ports[@]:0:2}" --records "$work/one.sqlite" >/dev/null 2>&1)
time_records "$work/one.sqlite" | awk '{ printf "the same over a store of 1 record: %.1f ms\n", $1 / 1000 }'
