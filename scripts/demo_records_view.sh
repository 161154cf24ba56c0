#!/usr/bin/env bash
# The records view over a demo store: real updates of simulated devices (one fails at block 6
# and passes on its second attempt; a station and an image path named like HTML), then
# `lumaflash-cli records serve` on it until Ctrl+C. The store lives in a temporary folder.
#   scripts/demo_records_view.sh [BUILD_DIR] [ADDR:PORT]   (default build, 127.0.0.1:8470)
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=$(cd "${1:-$root/build}" && pwd)
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
export XDG_STATE_HOME=$work
unset LUMAFLASH_RECORDS LUMAFLASH_RECORDS_SERVER
bash "$root/scripts/fill_demo_records.sh" "$build" "$work/records.sqlite"
"$build/cli/lumaflash-cli" records serve --records "$work/records.sqlite" --listen "${2:-127.0.0.1:8470}"
