#!/usr/bin/env bash
# Prints what the records view costs at factory scale, on a station's store and on a server:
#   bash scripts/with_postgres.sh bash bench/web_bench.sh [BUILD_DIR] [COUNT]
# COUNT records (default 1,000,000) are written by build/bench/records_generate and forwarded to
# the server by `records sync`; then bench/web_bench.mjs measures the view over each (first
# paint in the headless browser, an update's way to an open page, GET / beside 100 live
# streams, the serving process's peak memory). Without a server only the store is measured.
#   LUMAFLASH_BENCH_STORE=PATH   use (or keep) the generated store there instead of a fresh one
# Figures only: nothing here passes or fails by the machine's speed.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=$(cd "${1:-$root/build}" && pwd)
count=${2:-1000000}
generate="$build/bench/records_generate"
[[ -x $generate ]] || { echo "web_bench: $generate is missing; build first" >&2; exit 2; }
work=$(mktemp -d "${TMPDIR:-/tmp}/lumaflash-web-bench.XXXXXX")
trap 'rm -rf "$work"' EXIT
export XDG_STATE_HOME="$work/state" LUMAFLASH_RECORDS="$work/default.sqlite"
unset LUMAFLASH_RECORDS_SERVER
store=${LUMAFLASH_BENCH_STORE:-$work/records.sqlite}
if [[ ! -f $store ]]; then
  echo "== writing $count records through the store's commit"
  "$generate" "$store" "$count" >/dev/null
fi
echo "== the view over a station's store of $(sqlite3 "$store" 'SELECT count(*) FROM records') records;" \
  "load average $(cut -d' ' -f1-3 /proc/loadavg)"
node "$root/bench/web_bench.mjs" "$build" --records "$store"
if [[ -n ${LUMAFLASH_PG_READER_URI:-} ]]; then
  cp "$store" "$work/station.sqlite"
  "$build/cli/lumaflash-cli" records sync --records "$work/station.sqlite" \
    --records-server "$LUMAFLASH_PG_STATION_URI" >/dev/null
  echo "== the view over the server; load average $(cut -d' ' -f1-3 /proc/loadavg)"
  LUMAFLASH_BENCH_STATION_STORE="$work/station.sqlite" \
    node "$root/bench/web_bench.mjs" "$build" --server --records-server "$LUMAFLASH_PG_READER_URI"
fi
