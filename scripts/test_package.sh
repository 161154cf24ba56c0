#!/usr/bin/env bash
# Checks the Debian package that scripts/package.sh wrote into dist/:
#   1. lintian finds no error and no warning; it depends on the SQLite and libpq libraries;
#   2. apt-get installs it into this machine; the installed programs run from /usr/bin: --version,
#      a scan of a simulated device; the desktop entry and AppStream metadata validate; the
#      manual pages and the bash completion are found;
#   3. it is removed again, leaving none of its files behind.
# The Windows zip is checked under Wine by scripts/test_zip.sh. Runs as root (apt-get).
set -euo pipefail
cd "$(dirname "$0")/.."
version=$(sed -n 's/^project(Lumaflash VERSION \([0-9.]*\).*/\1/p' CMakeLists.txt)
deb="dist/lumaflash_${version}_amd64.deb"

fail() {
  echo "test_package: $*" >&2
  exit 1
}
[[ -f $deb ]] || fail "$deb is missing; run scripts/package.sh first"
head -n 1 packaging/changelog | grep -qF "lumaflash ($version)" ||
  fail "packaging/changelog does not start with version $version"

echo "== package: lintian $deb"
lintian_out=$(lintian --fail-on error,warning --display-info "$deb") || {
  echo "$lintian_out" >&2
  fail "lintian reports errors or warnings (above)"
}
echo "${lintian_out:-lintian: nothing to report}"
dpkg-deb --info "$deb" | sed -n 's/^ \(Depends\|Section\|Priority\|Homepage\|Installed-Size\):/  &/p'
# The station's record store and its forwarding are linked to Debian's shared libraries.
depends=$(dpkg-deb -f "$deb" Depends)
for library in libsqlite3-0 libpq5; do
  [[ $depends == *"$library "* || $depends == *"$library," || $depends == *"$library" ]] ||
    fail "the package does not depend on $library (Depends: $depends); is it linked?"
done

echo "== package: apt-get install ./$deb"
sudo_cmd=()
if ((EUID != 0)); then sudo_cmd=(sudo); fi
# Another apt-get or dpkg on this machine holds the lock: wait for it rather than fail.
apt_get() {
  DEBIAN_FRONTEND=noninteractive "${sudo_cmd[@]}" apt-get -o DPkg::Lock::Timeout=300 -y -q "$@"
}
apt_get install "./$deb" >/dev/null
sim_pid=""
work=$(mktemp -d "${TMPDIR:-/tmp}/lumaflash-package.XXXXXX")
cleanup() {
  [[ -z $sim_pid ]] || kill -TERM "$sim_pid" 2>/dev/null || true
  rm -rf "$work"
  if dpkg-query -W -f='${Status}' lumaflash 2>/dev/null | grep -q "ok installed"; then
    apt_get purge lumaflash >/dev/null || true
  fi
}
trap cleanup EXIT

for program in lumaflash-cli lumaflash lumaflash-sim; do
  said=$("/usr/bin/$program" --version) || fail "the installed $program --version failed"
  grep -qx "$program $version\( (git .*)\)\?" <<<"$said" ||
    fail "the installed $program --version says: $said"
  echo "$said"
done
/usr/bin/lumaflash-sim >"$work/sim.out" 2>&1 &
sim_pid=$!
for _ in $(seq 100); do
  [[ -s $work/sim.out ]] && break
  sleep 0.05
done
port=$(awk 'NR == 1 { print $1 }' "$work/sim.out")
[[ $port == /dev/pts/* ]] || fail "the installed lumaflash-sim did not start: $(cat "$work/sim.out")"
scan=$(/usr/bin/lumaflash-cli scan --port "$port")
echo "$scan"
grep -qx "1 Interfaces found" <<<"$scan" || fail "the installed lumaflash-cli did not find $port"
desktop-file-validate /usr/share/applications/lumaflash.desktop ||
  fail "the desktop entry does not pass desktop-file-validate"
appstreamcli validate --no-net /usr/share/metainfo/org.example.lumaflash.metainfo.xml ||
  fail "the AppStream metadata does not pass appstreamcli validate"
for page in lumaflash lumaflash-cli lumaflash-sim; do
  man -w "$page" >/dev/null || fail "man $page finds no page"
done
# The completion offers the commands the installed program knows.
completed=$(bash -c 'source /usr/share/bash-completion/completions/lumaflash-cli
  COMP_WORDS=(lumaflash-cli fl); COMP_CWORD=1; _lumaflash_cli; echo "${COMPREPLY[*]}"')
[[ $completed == flash ]] || fail "completing \"lumaflash-cli fl\" gave \"$completed\""

echo "== package: apt-get purge lumaflash"
files=$(dpkg-query -L lumaflash | while read -r path; do if [[ -f $path ]]; then echo "$path"; fi; done)
apt_get purge lumaflash >/dev/null
left=$(for path in $files; do if [[ -e $path ]]; then echo "$path"; fi; done)
[[ -z $left ]] || fail "files left after removing the package: $left"
echo "== package: passed ($(wc -w <<<"$files") files installed and removed)"
