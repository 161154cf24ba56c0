#!/usr/bin/env bash
# Records from the Windows programs under Wine on the server of scripts/with_postgres.sh (TLS
# verify-full, SCRAM, channel binding). scripts/test_windows.sh sets up Wine and puts a simulated
# device that stays in bootloader mode behind COM, then runs, ending with the first failure:
#   bash scripts/with_postgres.sh bash tests/core/records/wine_server_checks.sh WIN-BUILD COM IMAGE WORK
set -euo pipefail
win_build=$1 com=$2 image=$3 work=$4
cli="$win_build/cli/lumaflash-cli.exe"

fail() {
  echo "wine_server_checks: $*" >&2
  exit 1
}
# A host path as the Windows programs see it (Wine's drive Z: is the root folder).
windows() { echo "Z:$1"; }
# A Windows program with the password file and nothing else of the test server's environment.
run() {
  env -u PGSSLMODE -u PGSSLROOTCERT -u PGHOST -u PGPORT -u PGDATABASE \
    PGPASSFILE="$(windows "$PGPASSFILE")" timeout 120 wine "$@" 2>&1 | tr -d '\r'
}
on_server() { psql -X -t -A -c "$1" "$LUMAFLASH_PG_READER_URI"; }
waiting() {
  sqlite3 "$1" "SELECT count(*) FROM records WHERE ready_place > coalesce((SELECT through FROM
    forward_servers WHERE identity LIKE '%/lumaflash'), 0)"
}
# held_once STATION STORE COUNT: the server holds the store's COUNT records, each once.
held_once() {
  [[ $(on_server "SELECT count(*), count(DISTINCT id) FROM records WHERE station = '$1'") == "$3|$3" &&
    $(on_server "SELECT id FROM records WHERE station = '$1' ORDER BY id") == \
    $(sqlite3 "$2" "SELECT id FROM records ORDER BY id") && $(waiting "$2") == 0 ]] ||
    fail "the server does not hold the $3 record(s) of $1 exactly once"
}

tls="postgresql://lumaflash_station@127.0.0.1:$PGPORT/lumaflash?sslmode=verify-full&channel_binding=require"
good="$tls&sslrootcert=$(windows "$LUMAFLASH_PG_CA")"
store="$work/wine-records.sqlite"
flash() {
  run "$cli" flash "$(windows "$image")" --port "$com" --records "$(windows "$store")" \
    --station wine-cli --records-server "$1" >"$work/wine-flash.out" ||
    fail "lumaflash-cli.exe flash failed: $(cat "$work/wine-flash.out")"
}

flash "$tls&sslrootcert=$(windows "$LUMAFLASH_PG_OTHER_CA")"
grep -q 'certificate verify failed' "$work/wine-flash.out" && [[ $(waiting "$store") == 1 ]] &&
  [[ $(on_server "SELECT count(*) FROM records WHERE station = 'wine-cli'") == 0 ]] ||
  fail "a server certificate from another CA was not refused: $(cat "$work/wine-flash.out")"
echo "wrong CA: refused, the record waits ($(grep -o 'certificate verify failed' "$work/wine-flash.out"))"

flash "$good"
held_once wine-cli "$store" 2
run "$cli" records sync --records "$(windows "$store")" --records-server "$good" >"$work/wine-sync.out" ||
  fail "records sync failed: $(cat "$work/wine-sync.out")"
grep -qx 'sent 0, waiting 0' "$work/wine-sync.out" || fail "a second sync sent: $(cat "$work/wine-sync.out")"
held_once wine-cli "$store" 2
run "$cli" records --server --station wine-cli --json \
  --records-server "${good/lumaflash_station/lumaflash_reader}" >"$work/wine-read.out" ||
  fail "records --server failed: $(cat "$work/wine-read.out")"
[[ $(grep -c '"station":"wine-cli"' "$work/wine-read.out") == 2 ]] ||
  fail "records --server did not read the 2 records back: $(cat "$work/wine-read.out")"
echo "lumaflash-cli.exe: 2 records on the server, each once; records --server reads them back"

# The window repeats today's update by itself (as in test_windows.sh) and forwards its record.
mkdir -p "$work/wine-window"
store="$work/wine-window.sqlite"
printf '[3514]\r\nLAST_OPEN=%s\r\nUSE_LAST_AGAIN=1\r\n[APP]\r\nLAST_DEVICE=3514%s\r\n' \
  "$(windows "$image" | tr / '\\')" "$(date +%d%m%Y)" >"$work/wine-window/Lumaflash.ini"
(cd "$work/wine-window" && run "$win_build/app/lumaflash.exe" --port "$com" \
  --records "$(windows "$store")" --station wine-window --records-server "$good") \
  >"$work/wine-window.out" || fail "lumaflash.exe failed: $(cat "$work/wine-window.out")"
held_once wine-window "$store" 1
echo "lumaflash.exe: its record on the server, once"
