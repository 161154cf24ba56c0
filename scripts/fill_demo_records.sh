#!/usr/bin/env bash
# Fills a record store with real updates of simulated devices, for the web view's demo and its
# browser tests: four units of Lumetta A (one fails at block 6 first and passes on its second
# attempt), one Tessel Four, and a station and an image path whose names are HTML.
#   scripts/fill_demo_records.sh BUILD_DIR STORE [FLASH-OPTION]...
# The options go to every `lumaflash-cli flash`, e.g. --records-server URI to forward the records.
# With LUMAFLASH_DEMO_ONE=STATION it makes one more update only, at that station.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=$(cd "$1" && pwd)
store=$(realpath -m "$2")
shift 2
work=$(mktemp -d)
# flash keeps its settings file (Lumaflash.ini) in the current folder: the temporary one.
cd "$work"
sim_pid=
cleanup() {
  if [[ -n $sim_pid ]]; then kill "$sim_pid" 2>/dev/null || true; wait "$sim_pid" 2>/dev/null || true; fi
  rm -rf "$work"
}
trap cleanup EXIT

# Serves COUNT simulated devices (further options go to lumaflash-sim) and waits for their ports.
serve() {
  local count=$1
  shift
  if [[ -n $sim_pid ]]; then kill "$sim_pid"; wait "$sim_pid" 2>/dev/null || true; fi
  "$build/sim/lumaflash-sim" --count "$count" "$@" >"$work/devices" &
  sim_pid=$!
  for _ in $(seq 100); do
    [[ $(wc -l <"$work/devices") -ge $count ]] && break
    sleep 0.05
  done
  mapfile -t ports < <(cut -d' ' -f1 "$work/devices")
}

# Updates the device on PORT with IMAGE at STATION; a failed update is part of the data.
flash() {
  local port=$1 image=$2 station=$3
  shift 3
  "$build/cli/lumaflash-cli" flash "$image" --port "$port" --records "$store" \
    --station "$station" "$@" >/dev/null 2>&1 || true
}

hostile='<img src=x onerror=alert(1)>'
if [[ -n ${LUMAFLASH_DEMO_ONE:-} ]]; then
  serve 1 --type 3711
  flash "${ports[0]}" "$root/examples/lumetta-c.bin" "$LUMAFLASH_DEMO_ONE" "$@"
  exit 0
fi
cp "$root/examples/lumetta-a.bin" "$work/$hostile.bin"
serve 1 --type 3514 --fault silent:block:5
flash "${ports[0]}" "$root/examples/lumetta-a.bin" "line 1" "$@"
serve 4 --type 3514
flash "${ports[0]}" "$root/examples/lumetta-a.bin" "line 1" "$@"
flash "${ports[1]}" "$root/examples/lumetta-a.bin" "line 1" "$@"
flash "${ports[2]}" "$root/examples/lumetta-a.bin" "line 2" "$@"
flash "${ports[3]}" "$work/$hostile.bin" "$hostile" "$@"
serve 1 --type 3611
flash "${ports[0]}" "$root/examples/tessel-four.bin" "line 2" "$@"
