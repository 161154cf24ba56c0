#!/usr/bin/env bash
# Checks the Windows zip that scripts/package.sh wrote into dist/: it holds lumaflash.exe,
# lumaflash-cli.exe, README.txt and LICENSE.txt (CRLF line ends), and, unpacked as a user would,
# its programs run under Wine in a fresh prefix: --version, --help, a usage error and an image's
# info. No serial port is used here (scripts/test_windows.sh drives the same lumaflash-cli.exe
# through one); Wine's mapping of the machine's own ports is removed all the same.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)
version=$(sed -n 's/^project(Lumaflash VERSION \([0-9.]*\).*/\1/p' CMakeLists.txt)
zip_file="dist/lumaflash-${version}-win64.zip"

fail() {
  echo "test_zip: $*" >&2
  exit 1
}
[[ -f $zip_file ]] || fail "$zip_file is missing; run scripts/package.sh first"

work=$(mktemp -d "${TMPDIR:-/tmp}/lumaflash-zip.XXXXXX")
export WINEPREFIX="$work/prefix"
export WINEDEBUG=-all
export WINEDLLOVERRIDES="mscoree,mshtml="
unset DISPLAY WAYLAND_DISPLAY
cleanup() {
  timeout 20 wineserver -k >/dev/null 2>&1 || true
  rm -rf "$work"
}
trap cleanup EXIT

echo "== zip: $zip_file ($(stat -c %s "$zip_file") bytes)"
unzip -l "$zip_file"
unzip -q "$zip_file" -d "$work"
folder="$work/lumaflash-${version}-win64"
for file in lumaflash.exe lumaflash-cli.exe README.txt LICENSE.txt; do
  [[ -f $folder/$file ]] || fail "$zip_file holds no $file"
done
for text in README.txt LICENSE.txt; do
  if grep -q $'[^\r]$' "$folder/$text"; then
    fail "$text has lines that do not end in CRLF"
  fi
done

echo "== zip: the programs under Wine"
mkdir -p "$WINEPREFIX"
timeout 300 wineboot -i >"$work/wineboot.log" 2>&1 || {
  cat "$work/wineboot.log" >&2
  fail "Wine could not set up its prefix"
}
find "$WINEPREFIX/dosdevices" -maxdepth 1 -iname 'com*' -exec rm -f {} +
cp examples/lumetta-a.bin "$folder/"
cd "$folder"
run() {
  timeout 120 wine "$@" 2>&1 | tr -d '\r'
}
for program in lumaflash-cli lumaflash; do
  said=$(run "$program.exe" --version)
  echo "$program.exe --version: $said"
  [[ $said == "$program $version"* ]] || fail "$program.exe --version printed \"$said\""
  grep -q "^usage: $program " <<<"$(run "$program.exe" --help)" || fail "$program.exe --help printed no usage"
done
# The window program, started from a console, tells a usage error there (exit 2).
status=0
timeout 120 wine lumaflash.exe --bogus >/dev/null 2>"$work/usage.err" || status=$?
[[ $status == 2 ]] && grep -q 'unknown argument "--bogus"' "$work/usage.err" ||
  fail "lumaflash.exe --bogus exited with $status, saying: $(cat "$work/usage.err")"
info=$(run lumaflash-cli.exe info lumetta-a.bin)
grep -q "3514 (Lumetta A)" <<<"$info" || fail "lumaflash-cli.exe info lumetta-a.bin said: $info"
cd "$root"
echo "== zip: passed"
