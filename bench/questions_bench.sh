#!/usr/bin/env bash
# Prints what the questions of `records` cost at factory scale, against a throw-away server:
#   bash scripts/with_postgres.sh bash bench/questions_bench.sh [BUILD_DIR] [COUNT]
# COUNT records (default 1,000,000) are written by build/bench/records_generate through the
# store's own commit, and forwarded to the server by `records sync` (the real forwarding). Then
# each question is asked of the local store and of the server, three times; printed: the best
# wall time, the user CPU time of that run and the peak memory of all three (/usr/bin/time).
#   LUMAFLASH_BENCH_STORE=PATH   use (or keep) the generated store there instead of a fresh one
#   LUMAFLASH_BENCH_CLI=PATH     ask with another lumaflash-cli (an older build), same data
# Without a server (not run through scripts/with_postgres.sh) only the local figures are printed.
# Figures only: nothing here passes or fails by the machine's speed.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=$(cd "${1:-$root/build}" && pwd)
count=${2:-1000000}
cli="$build/cli/lumaflash-cli"
asker=${LUMAFLASH_BENCH_CLI:-$cli}
generate="$build/bench/records_generate"
for program in "$cli" "$asker" "$generate" /usr/bin/time; do
  [[ -x $program ]] || { echo "questions_bench: $program is missing; build first" >&2; exit 2; }
done

work=$(mktemp -d "${TMPDIR:-/tmp}/lumaflash-questions.XXXXXX")
trap 'rm -rf "$work"' EXIT
export LUMAFLASH_RECORDS="$work/default.sqlite" XDG_STATE_HOME="$work/state" TZ=UTC
unset LUMAFLASH_RECORDS_SERVER

store=${LUMAFLASH_BENCH_STORE:-$work/records.sqlite}
if [[ ! -f $store ]]; then
  echo "== writing $count records through the store's commit"
  "$generate" "$store" "$count" | tee "$work/generated"
fi
serial=$(sqlite3 "$store" "SELECT serial FROM records WHERE serial IS NOT NULL
  ORDER BY started_at LIMIT 1 OFFSET (SELECT count(*) / 2 FROM records)")
image=$(sqlite3 "$store" "SELECT image_path FROM records ORDER BY started_at DESC LIMIT 1")
hotfix=$(sqlite3 "$store" "SELECT image_path FROM records WHERE image_path LIKE '%hotfix%' LIMIT 1")

# ask LABEL ARG...: the question three times; prints the best wall time, its CPU time and the
# highest peak memory.
ask() {
  local label=$1 run status best="" cpu="" peak=0 wall user rss
  shift
  for run in 1 2 3; do
    status=0
    /usr/bin/time -o "$work/time" -f "%e %U %M" "$asker" records "$@" >"$work/out" 2>"$work/err" ||
      status=$?
    if ((status != 0)); then
      printf '%-44s failed (exit %d): %s\n' "$label" "$status" "$(head -c 120 "$work/err")"
      return
    fi
    read -r wall user rss <"$work/time"
    if [[ -z $best ]] || awk -v a="$wall" -v b="$best" 'BEGIN { exit !(a < b) }'; then
      best=$wall cpu=$user
    fi
    ((rss > peak)) && peak=$rss
  done
  printf '%-44s %6.2f s wall %6.2f s cpu %6d MiB   (%d lines)\n' "$label" "$best" "$cpu" \
    $((peak / 1024)) "$(wc -l <"$work/out")"
}

questions() {
  local where=$1
  shift
  ask "$where --summary" "$@" --summary
  ask "$where --summary --by station --tz Asia/Shanghai" "$@" --summary --by station --tz Asia/Shanghai
  ask "$where --summary, one week" "$@" --summary --since 2025-06-02 --until 2025-06-08
  ask "$where --serial" "$@" --serial "$serial"
  ask "$where --image PATH (a rare image)" "$@" --image "$hotfix"
  ask "$where --image PATH (a sixth of all)" "$@" --image "$image"
  ask "$where --image PATH --limit 100" "$@" --image "$image" --limit 100
  ask "$where --result write-failed" "$@" --result write-failed
  ask "$where listing, all records" "$@"
  ask "$where --stations" "$@" --stations
}

echo "== $(sqlite3 "$store" 'SELECT count(*) FROM records') records, store" \
  "$(($(stat -c %s "$store") / 1048576)) MiB; asked with $("$asker" --version);" \
  "load average $(cut -d' ' -f1-3 /proc/loadavg)"
questions local --records "$store"

if [[ -z ${LUMAFLASH_PG_STATION_URI:-} ]]; then
  echo "(no server: run through scripts/with_postgres.sh for the server's figures)"
  exit 0
fi
copy="$work/forwarded.sqlite"
cp "$store" "$copy"
start=$(date +%s)
LUMAFLASH_RECORDS_SERVER=$LUMAFLASH_PG_STATION_URI "$cli" records sync --records "$copy" >"$work/sync"
echo "== records sync: $(cat "$work/sync") in $(($(date +%s) - start)) s"
# What autovacuum does soon after a bulk load: the statistics and the visibility map that let a
# summary read the index alone.
psql -X -q "$LUMAFLASH_PG_ADMIN" -c "VACUUM ANALYZE records"
echo "== the server; load average $(cut -d' ' -f1-3 /proc/loadavg)"
LUMAFLASH_RECORDS_SERVER=$LUMAFLASH_PG_READER_URI questions server --server
