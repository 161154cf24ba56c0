#!/usr/bin/env bash
# Builds the Windows programs and tests with MinGW-w64 and runs them under Wine:
#   1. the tests that need no pseudo-terminal (ctest in build-win/),
#   2. the Win32 serial link against a simulated device behind a Wine COM port,
#   3. lumaflash-cli.exe scan and flash end to end through that COM port; the device must
#      receive exactly the image.
# The Linux build (build/, from scripts/build.sh) provides the simulated device and the image
# maker. Wine runs in a fresh prefix under a temporary folder with only our COM port mapped, so
# no Windows program here can reach the machine's real serial ports.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)
started=$(date +%s)

linux_build=${BUILD_DIR:-build}
win_build=build-win
com_number=5
com_name="COM${com_number}"
# The platform tests use a two-digit port, which only the device namespace (\\.\COM12) reaches.
test_com_number=12

fail() {
  echo "test_windows: $*" >&2
  exit 1
}

step() {
  echo "== windows: $*"
}

for tool in x86_64-w64-mingw32-g++-posix wine wineserver wineboot; do
  command -v "$tool" >/dev/null ||
    fail "$tool is missing; run scripts/setup.sh (it installs g++-mingw-w64-x86-64-posix and wine)."
done

step "cross-compiling into $win_build/"
cmake -S . -B "$win_build" -G Ninja -DCMAKE_TOOLCHAIN_FILE="$root/cmake/mingw-w64.cmake" \
  -DCMAKE_BUILD_TYPE="${BUILD_TYPE:-RelWithDebInfo}" -DLUMAFLASH_WERROR=ON \
  -DLUMAFLASH_BUILD_APP=OFF >/dev/null
cmake --build "$win_build" -j2

sim="$root/$linux_build/sim/lumaflash-sim"
mkimage="$root/$linux_build/sim/lumaflash-mkimage"
cli_linux="$root/$linux_build/cli/lumaflash-cli"
cli_exe="$root/$win_build/cli/lumaflash-cli.exe"
if [[ ! -x $sim || ! -x $mkimage || ! -x $cli_linux ]]; then
  step "building the Linux simulated device into $linux_build/"
  BUILD_DIR="$linux_build" bash scripts/build.sh
fi

work=$(mktemp -d "${TMPDIR:-/tmp}/lumaflash-wine.XXXXXX")
export WINEPREFIX="$work/prefix"
export WINEDEBUG=-all
# No Mono or Gecko: console programs need neither, and their installers would ask for a display.
export WINEDLLOVERRIDES="mscoree,mshtml="
unset DISPLAY WAYLAND_DISPLAY

sim_pid=""
stop_sim() {
  if [[ -n $sim_pid ]]; then
    kill -TERM "$sim_pid" 2>/dev/null || true
    wait "$sim_pid" 2>/dev/null || true
    sim_pid=""
  fi
}
cleanup() {
  stop_sim
  timeout 20 wineserver -k >/dev/null 2>&1 || true
  rm -rf "$work"
}
trap cleanup EXIT

step "setting up a fresh Wine prefix in $WINEPREFIX"
mkdir -p "$WINEPREFIX"
# One wineserver for all the runs below: the ports are mapped once after Wine's device manager
# has made its own mapping, and it does not come back to make it again.
wineserver -p >"$work/wineserver.log" 2>&1 ||
  fail "wineserver does not start; see $work/wineserver.log"
if ! timeout 300 wineboot -i >"$work/wineboot.log" 2>&1; then
  cat "$work/wineboot.log" >&2
  fail "Wine could not set up its prefix (wineboot failed or took over 300 s)."
fi
[[ -d $WINEPREFIX/dosdevices ]] || fail "Wine made no dosdevices folder in $WINEPREFIX"

# Wine maps the machine's own serial ports (/dev/ttyS0, ...) to com1, com2, ...: remove every COM
# mapping and map only the simulated device's pseudo-terminal.
map_com_port() {
  local target=$1 number=$2
  find "$WINEPREFIX/dosdevices" -maxdepth 1 -iname 'com*' -exec rm -f {} +
  ln -s "$target" "$WINEPREFIX/dosdevices/com${number}"
  local mapped
  mapped=$(find "$WINEPREFIX/dosdevices" -maxdepth 1 -iname 'com*' | wc -l)
  [[ $mapped -eq 1 && $(readlink "$WINEPREFIX/dosdevices/com${number}") == "$target" ]] ||
    fail "could not map COM${number} alone to $target"
}

# Starts the simulated device with the given options behind COM<number>; sets sim_pid and
# sim_pty.
start_sim() {
  local out=$1 number=$2
  shift 2
  "$sim" "$@" >"$out" 2>&1 &
  sim_pid=$!
  for _ in $(seq 100); do
    [[ -s $out ]] && break
    sleep 0.05
  done
  sim_pty=$(awk 'NR == 1 { print $1 }' "$out")
  [[ $sim_pty == /dev/pts/* ]] || fail "the simulated device did not start: $(cat "$out")"
  map_com_port "$sim_pty" "$number"
}

step "running the Windows tests under Wine (the serial ones on COM${test_com_number})"
start_sim "$work/sim-tests.out" "$test_com_number" --stay
if ! LUMAFLASH_TEST_COM=COM${test_com_number} ctest --test-dir "$win_build" --output-on-failure \
  --timeout 300 -V >"$work/ctest.log" 2>&1; then
  cat "$work/ctest.log" >&2
  fail "Windows tests failed under Wine (see above)."
fi
grep -E '^[0-9]+/[0-9]+ Test|tests passed' "$work/ctest.log"
if grep -q 'SKIPPED' "$work/ctest.log"; then
  grep 'SKIPPED' "$work/ctest.log" >&2
  fail "Windows tests were skipped under Wine; every one must run here."
fi
stop_sim

step "scan and flash with lumaflash-cli.exe through $com_name"
start_sim "$work/sim-flash.out" "$com_number"
mkdir -p "$work/bench"
# Whole blocks (80 of 512 bytes), so what the device holds afterwards is the payload and nothing
# else, and its digest must equal the image's.
"$mkimage" 3514 40960 "$work/bench/image.bin" 1 7 >/dev/null
expected_sha=$("$cli_linux" info "$work/bench/image.bin" | awk '/^SHA-256:/ { print $2 }')
cd "$work/bench"
timeout 120 wine "$cli_exe" scan --port "$com_name" --trace >"$work/scan.out" 2>&1 || {
  cat "$work/scan.out" >&2
  fail "lumaflash-cli.exe scan failed"
}
tr -d '\r' <"$work/scan.out" >"$work/scan.txt"
grep -qx "Open $com_name" "$work/scan.txt" || {
  cat "$work/scan.txt" >&2
  fail "the scan log does not say \"Open $com_name\""
}
grep -qx "1 Interfaces found" "$work/scan.txt" || {
  cat "$work/scan.txt" >&2
  fail "the scan did not find the simulated device on $com_name"
}
cat "$work/scan.txt"
timeout 180 wine "$cli_exe" flash image.bin --port "$com_name" >"$work/flash.out" 2>&1 || {
  cat "$work/flash.out" >&2
  fail "lumaflash-cli.exe flash failed"
}
tr -d '\r' <"$work/flash.out" | tail -n 2
grep -q "LAST_DEVICE=3514" Lumaflash.ini || fail "the update stamp is missing from Lumaflash.ini"
cd "$root"
stop_sim

report=$(grep -F "$sim_pty:" "$work/sim-flash.out" || true)
echo "device: $report"
[[ $report == *" 80 blocks, 40960 payload bytes, run yes, 0 timing violations, sha256 $expected_sha" ]] ||
  fail "the device did not receive exactly the image (expected 80 blocks, 40960 bytes, sha256 $expected_sha)"

echo "== windows: passed in $(($(date +%s) - started)) s"
