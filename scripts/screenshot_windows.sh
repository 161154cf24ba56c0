#!/usr/bin/env bash
# Takes a picture of lumaflash.exe, the native Windows window, under Wine on a virtual display,
# with three simulated devices on COM3, COM4 and COM7:
#   bash scripts/screenshot_windows.sh [OUT.png]      (default: build-win/lumaflash-window.png)
# Wine draws the title bar itself in its virtual desktop, so the picture shows the whole window.
# Needs the Windows build (scripts/test_windows.sh makes it) and the Linux simulated device.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)
out=$(realpath -m "${1:-build-win/lumaflash-window.png}")
exe="$root/build-win/app/lumaflash.exe"
sim="$root/${BUILD_DIR:-build}/sim/lumaflash-sim"
for needed in "$exe" "$sim"; do
  [[ -x $needed ]] || {
    echo "screenshot_windows: $needed is missing; run scripts/test_windows.sh first." >&2
    exit 1
  }
done
for tool in wine wineboot wineserver Xvfb import; do
  command -v "$tool" >/dev/null || {
    echo "screenshot_windows: $tool is missing; run scripts/setup.sh." >&2
    exit 1
  }
done

work=$(mktemp -d "${TMPDIR:-/tmp}/lumaflash-shot.XXXXXX")
export WINEPREFIX="$work/prefix" WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml=" LC_ALL=C.UTF-8
sim_pid="" xvfb_pid="" window_pid=""
cleanup() {
  [[ -n $window_pid ]] && kill -TERM "$window_pid" 2>/dev/null
  [[ -n $sim_pid ]] && kill -TERM "$sim_pid" 2>/dev/null
  timeout 20 wineserver -k >/dev/null 2>&1 || true
  [[ -n $xvfb_pid ]] && kill -TERM "$xvfb_pid" 2>/dev/null
  rm -rf "$work"
}
trap cleanup EXIT

mkdir -p "$WINEPREFIX"
timeout 300 wineboot -i >"$work/wineboot.log" 2>&1
# Only the simulated devices: never the machine's own serial ports.
find "$WINEPREFIX/dosdevices" -maxdepth 1 -iname 'com*' -exec rm -f {} +
"$sim" --count 3 --mix >"$work/sim.out" 2>&1 &
sim_pid=$!
for _ in $(seq 100); do
  [[ $(wc -l <"$work/sim.out") -ge 3 ]] && break
  sleep 0.05
done
ports=()
line=0
for number in 3 4 7; do
  line=$((line + 1))
  pty=$(awk -v n="$line" 'NR == n { print $1 }' "$work/sim.out")
  [[ $pty == /dev/pts/* ]] || { echo "the simulated devices did not start" >&2; exit 1; }
  ln -s "$pty" "$WINEPREFIX/dosdevices/com$number"
  ports+=(--port "COM$number")
done

Xvfb -displayfd 3 -screen 0 800x480x24 -nolisten tcp 3>"$work/display" >/dev/null 2>&1 &
xvfb_pid=$!
for _ in $(seq 100); do
  [[ -s $work/display ]] && break
  sleep 0.05
done
export DISPLAY=":$(head -n 1 "$work/display")"
cd "$work"
wine explorer /desktop=Lumaflash,800x480 "$exe" "${ports[@]}" >/dev/null 2>&1 &
window_pid=$!
sleep "${SHOT_DELAY:-10}" # Wine's first window start, then the scan of three ports
import -window root "$out"
echo "$out"
