#!/usr/bin/env bash
# Builds the Windows programs and tests with MinGW-w64 and runs them under Wine:
#   1. the tests that need no pseudo-terminal (ctest in build-win/),
#   2. the Win32 serial link against a simulated device behind a Wine COM port,
#   3. lumaflash-cli.exe scan and flash end to end through that COM port, with an image whose
#      name is outside the ANSI code page; the device must receive exactly the image, and the
#      local record store must hold the attempt's record;
#   4. lumaflash.exe, the native window, on a virtual display (Xvfb): its tests drive the real
#      dialog, and the program itself must repeat the day's update by itself and exit 0;
#   5. records from both programs reach a real PostgreSQL server (scripts/with_postgres.sh) over
#      TLS verify-full with SCRAM, each exactly once, and a wrong CA is refused.
# The Linux build (build/, from scripts/build.sh) provides the simulated device and the image
# maker. Wine runs in a fresh prefix under a temporary folder with only our COM ports mapped, so
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

for tool in x86_64-w64-mingw32-g++-posix wine wineserver wineboot Xvfb python3; do
  command -v "$tool" >/dev/null ||
    fail "$tool is missing; run scripts/setup.sh (it installs g++-mingw-w64-x86-64-posix, wine, xvfb)."
done

step "cross-compiling into $win_build/"
bash scripts/build_sqlite_mingw.sh "$win_build"
bash scripts/build_pq_mingw.sh "$win_build"
cmake -S . -B "$win_build" -G Ninja -DCMAKE_TOOLCHAIN_FILE="$root/cmake/mingw-w64.cmake" \
  -DCMAKE_BUILD_TYPE="${BUILD_TYPE:-RelWithDebInfo}" -DLUMAFLASH_WERROR=ON \
  >/dev/null
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
# File names are UTF-8 on the host side, whatever the caller's locale.
export LC_ALL=C.UTF-8
# No Mono or Gecko: the programs here need neither, and installing them would slow the set-up.
export WINEDLLOVERRIDES="mscoree,mshtml="
unset DISPLAY WAYLAND_DISPLAY

sim_pid=""
holder_pid=""
held_sim_pid=""
xvfb_pid=""
stop_sim() {
  if [[ -n $sim_pid ]]; then
    kill -TERM "$sim_pid" 2>/dev/null || true
    wait "$sim_pid" 2>/dev/null || true
    sim_pid=""
  fi
}
cleanup() {
  stop_sim
  [[ -n $holder_pid ]] && kill -TERM "$holder_pid" "$held_sim_pid" 2>/dev/null
  timeout 20 wineserver -k >/dev/null 2>&1 || true
  [[ -n $xvfb_pid ]] && kill -TERM "$xvfb_pid" 2>/dev/null
  rm -rf "$work"
}
trap cleanup EXIT

# One virtual display for every window below, there before Wine starts: Wine's desktop process,
# which wineboot starts, keeps the display it found (none means no window can be created).
Xvfb -displayfd 3 -screen 0 1024x768x24 -nolisten tcp 3>"$work/display" >"$work/xvfb.log" 2>&1 &
xvfb_pid=$!
for _ in $(seq 100); do
  [[ -s $work/display ]] && break
  sleep 0.05
done
[[ -s $work/display ]] || fail "Xvfb did not start: $(cat "$work/xvfb.log")"
export DISPLAY=":$(head -n 1 "$work/display")"

step "setting up a fresh Wine prefix in $WINEPREFIX"
mkdir -p "$WINEPREFIX"
# One wineserver for all the runs below: the ports are mapped once after Wine's device manager
# has made its own mapping, and it does not come back to make it again.
# Wine's server opens the devices; root would pass over a terminal that another program holds
# exclusively (below), so the server runs without CAP_SYS_ADMIN.
unprivileged=()
if ((EUID == 0)); then unprivileged=(setpriv --bounding-set=-sys_admin); fi
"${unprivileged[@]}" wineserver -p >"$work/wineserver.log" 2>&1 ||
  fail "wineserver does not start; see $work/wineserver.log"
if ! timeout 300 wineboot -i >"$work/wineboot.log" 2>&1; then
  cat "$work/wineboot.log" >&2
  fail "Wine could not set up its prefix (wineboot failed or took over 300 s)."
fi
[[ -d $WINEPREFIX/dosdevices ]] || fail "Wine made no dosdevices folder in $WINEPREFIX"

# Wine maps the machine's own serial ports (/dev/ttyS0, ...) to com1, com2, ...: remove every COM
# mapping and map only the simulated device's pseudo-terminal (with `add`: beside the ones that
# are already ours).
map_com_port() {
  local target=$1 number=$2 keep=${3:-}
  [[ $keep == add ]] || find "$WINEPREFIX/dosdevices" -maxdepth 1 -iname 'com*' -exec rm -f {} +
  ln -s "$target" "$WINEPREFIX/dosdevices/com${number}"
  local mapped
  mapped=$(find "$WINEPREFIX/dosdevices" -maxdepth 1 -iname 'com*' -lname '/dev/ttyS*' | wc -l)
  [[ $mapped -eq 0 && $(readlink "$WINEPREFIX/dosdevices/com${number}") == "$target" ]] ||
    fail "could not map COM${number} to $target without the machine's own ports"
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

# A second device whose terminal another program holds exclusively (TIOCEXCL), behind COM13.
held_com_number=13
start_held_device() {
  "$sim" >"$work/sim-held.out" 2>&1 &
  held_sim_pid=$!
  for _ in $(seq 100); do
    [[ -s $work/sim-held.out ]] && break
    sleep 0.05
  done
  local held_pty
  held_pty=$(awk 'NR == 1 { print $1 }' "$work/sim-held.out")
  [[ $held_pty == /dev/pts/* ]] || fail "the held device did not start: $(cat "$work/sim-held.out")"
  python3 -c 'import fcntl, os, sys, termios, time
fd = os.open(sys.argv[1], os.O_RDWR | os.O_NOCTTY)
fcntl.ioctl(fd, termios.TIOCEXCL)
print("held", flush=True)
time.sleep(600)' "$held_pty" >"$work/holder.out" 2>&1 &
  holder_pid=$!
  for _ in $(seq 100); do
    [[ -s $work/holder.out ]] && break
    sleep 0.05
  done
  grep -qx held "$work/holder.out" || fail "could not hold $held_pty: $(cat "$work/holder.out")"
  map_com_port "$held_pty" "$held_com_number" add
}

# The checks start here; what comes before only sets up Wine, the display and the devices.
# Shows FILE, what a failed step wrote, and fails with MESSAGE.
fail_showing() {
  cat "$1" >&2
  fail "$2"
}

step "running the Windows tests under Wine (the serial ones on COM${test_com_number})"
start_sim "$work/sim-tests.out" "$test_com_number" --stay
start_held_device
LUMAFLASH_TEST_COM=COM${test_com_number} LUMAFLASH_TEST_HELD_COM=COM${held_com_number} \
  ctest --test-dir "$win_build" --output-on-failure --timeout 300 -V >"$work/ctest.log" 2>&1 ||
  fail_showing "$work/ctest.log" "Windows tests failed under Wine (see above)."
grep -E '^[0-9]+/[0-9]+ Test|tests passed' "$work/ctest.log"
! grep 'SKIPPED' "$work/ctest.log" >&2 ||
  fail "Windows tests were skipped under Wine; every one must run here."
stop_sim
kill -TERM "$holder_pid" "$held_sim_pid" 2>/dev/null || true
holder_pid=""

step "scan and flash with lumaflash-cli.exe through $com_name"
start_sim "$work/sim-flash.out" "$com_number"
mkdir -p "$work/bench"
# Whole blocks (80 of 512 bytes), so what the device holds afterwards is the payload and nothing
# else, and its digest must equal the image's.
# A name with letters from outside every ANSI code page: only UTF-16 calls reach the file.
image_name="Lümetta Ω ł 灯.bin"
"$mkimage" 3514 40960 "$work/bench/$image_name" 1 7 >/dev/null
expected_sha=$("$cli_linux" info "$work/bench/$image_name" | awk '/^SHA-256:/ { print $2 }')
cd "$work/bench"
timeout 120 wine "$cli_exe" scan --port "$com_name" --trace >"$work/scan.out" 2>&1 ||
  fail_showing "$work/scan.out" "lumaflash-cli.exe scan failed"
tr -d '\r' <"$work/scan.out" >"$work/scan.txt"
grep -qx "Open $com_name" "$work/scan.txt" ||
  fail_showing "$work/scan.txt" "the scan log does not say \"Open $com_name\""
grep -qx "1 Interfaces found" "$work/scan.txt" ||
  fail_showing "$work/scan.txt" "the scan did not find the simulated device on $com_name"
cat "$work/scan.txt"
timeout 180 wine "$cli_exe" flash "$image_name" --port "$com_name" >"$work/flash.out" 2>&1 ||
  fail_showing "$work/flash.out" "lumaflash-cli.exe flash failed"
tr -d '\r' <"$work/flash.out" | tail -n 2
grep -q "LAST_DEVICE=3514" Lumaflash.ini || fail "the update stamp is missing from Lumaflash.ini"
# The attempt's record, in the store a Windows station keeps by default
# (%LOCALAPPDATA%\Lumaflash\records.sqlite, SQLite built from Debian's source).
timeout 60 wine "$cli_exe" records --json >"$work/records.out" 2>&1 ||
  fail_showing "$work/records.out" "lumaflash-cli.exe records failed"
tr -d '\r' <"$work/records.out" >"$work/records.txt"
[[ $(grep -F "\"sha256\":\"$expected_sha\"" "$work/records.txt" | grep -c '"result":"ok"') -eq 1 ]] ||
  fail_showing "$work/records.txt" "the local store does not hold exactly one successful record of the update"
echo "record: $(grep -F "$expected_sha" "$work/records.txt" | cut -c 1-120)..."
# The records view over the same store answers GET / on loopback.
timeout 60 wine "$cli_exe" records serve --listen 127.0.0.1:0 >"$work/serve.out" 2>&1 &
serve_pid=$!
for _ in $(seq 300); do grep -q '^Serving ' "$work/serve.out" && break; sleep 0.1; done
view_url=$(grep -o 'http://[^ ]*/' "$work/serve.out" | tr -d '\r')
[[ -n $view_url ]] ||
  fail_showing "$work/serve.out" "lumaflash-cli.exe records serve did not say where it serves"
python3 -c 'import sys, urllib.request; page = urllib.request.urlopen(sys.argv[1], timeout=20).read()
sys.exit(0 if b"attempts-table" in page else 1)' "$view_url" ||
  fail_showing "$work/serve.out" "lumaflash-cli.exe records serve did not answer GET / at $view_url"
kill -TERM "$serve_pid" 2>/dev/null || true
wait "$serve_pid" 2>/dev/null || true
echo "records serve: GET $view_url answered"
cd "$root"
stop_sim

report=$(grep -F "$sim_pty:" "$work/sim-flash.out" || true)
echo "device: $report"
[[ $report == *" 80 blocks, 40960 payload bytes, run yes, 0 timing violations, sha256 $expected_sha" ]] ||
  fail "the device did not receive exactly the image (expected 80 blocks, 40960 bytes, sha256 $expected_sha)"

step "lumaflash.exe --port $com_name repeats today's update from the settings file by itself"
start_sim "$work/sim-window.out" "$com_number"
mkdir -p "$work/window"
image_windows="Z:${work//\//\\}\\bench\\$image_name" # Wine's drive Z: is the root folder
# The path is written as UTF-8: no ANSI code page holds it.
printf '[3514]\r\nLAST_OPEN=%s\r\nUSE_LAST_AGAIN=1\r\n[APP]\r\nLAST_DEVICE=3514%s\r\n' \
  "$image_windows" "$(date +%d%m%Y)" >"$work/window/Lumaflash.ini"
cd "$work/window"
timeout 120 wine "$root/$win_build/app/lumaflash.exe" --port "$com_name" >"$work/window.out" 2>&1 ||
  fail_showing "$work/window.out" "lumaflash.exe exited with $? (124: it did not end by itself)"
cd "$root"
stop_sim
report=$(grep -F "$sim_pty:" "$work/sim-window.out" || true)
echo "device: $report"
[[ $report == *" 80 blocks, 40960 payload bytes, run yes, 0 timing violations, sha256 $expected_sha" ]] ||
  fail "the window did not update the device with exactly the image"

step "records from lumaflash-cli.exe and lumaflash.exe on a PostgreSQL server (TLS, SCRAM)"
start_sim "$work/sim-records.out" "$com_number" --stay
bash scripts/with_postgres.sh bash tests/core/records/wine_server_checks.sh "$root/$win_build" \
  "$com_name" "$work/bench/$image_name" "$work" || fail "records from Windows: see above"
stop_sim

for exe in app/lumaflash.exe cli/lumaflash-cli.exe; do
  x86_64-w64-mingw32-strip -o "$work/stripped.exe" "$root/$win_build/$exe"
  echo "$exe: $(stat -c %s "$root/$win_build/$exe") bytes, $(stat -c %s "$work/stripped.exe") stripped"
  # secur32 (SSPI), crypt32 and bcrypt come with every Windows, as do the others.
  if x86_64-w64-mingw32-objdump -p "$root/$win_build/$exe" | grep 'DLL Name' |
    grep -viE 'kernel32|user32|gdi32|comctl32|comdlg32|shell32|advapi32|setupapi|cfgmgr32|msvcrt|ws2_32|mswsock|ole32|secur32|crypt32|bcrypt|api-ms-win'; then
    fail "$exe needs a DLL that Windows does not bring (above)"
  fi
done

echo "== windows: passed in $(($(date +%s) - started)) s"
