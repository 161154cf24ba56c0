#!/usr/bin/env bash
# The command-line demo: three simulated devices, a scan, an update of one of them, and the
# summary of the records those updates left (in the demo's own store, never the user's).
# Usage: scripts/demo.sh [BUILD_DIR]
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=$(cd "${1:-$root/build}" && pwd)
work=$(mktemp -d)
sim_pid=
cleanup() {
  if [[ -n $sim_pid ]]; then kill "$sim_pid" 2>/dev/null || true; wait "$sim_pid" 2>/dev/null || true; fi
  rm -rf "$work"
}
trap cleanup EXIT

"$build/sim/lumaflash-sim" --count 3 --mix >"$work/devices" &
sim_pid=$!
for _ in $(seq 50); do
  [[ $(wc -l <"$work/devices") -ge 3 ]] && break
  sleep 0.1
done
mapfile -t ports < <(cut -d' ' -f1 "$work/devices")
port_args=()
for port in "${ports[@]}"; do port_args+=(--port "$port"); done

echo "== Simulated devices on ${ports[*]}"
"$build/cli/lumaflash-cli" scan "${port_args[@]}"
echo
echo "== Updating the device on ${ports[0]} with examples/lumetta-a.bin"
cd "$work"
export LUMAFLASH_RECORDS="$work/records.sqlite"
unset LUMAFLASH_RECORDS_SERVER
"$build/cli/lumaflash-cli" flash "$root/examples/lumetta-a.bin" --port "${ports[0]}"
echo
echo "== The records of these updates: lumaflash-cli records --summary"
"$build/cli/lumaflash-cli" records --summary
