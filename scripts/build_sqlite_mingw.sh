#!/usr/bin/env bash
# Builds SQLite for 64-bit Windows from Debian's own source package, once:
#   bash scripts/build_sqlite_mingw.sh [WINDOWS-BUILD-DIR]     (default build-win)
# writes WINDOWS-BUILD-DIR/sqlite/include/sqlite3.h and WINDOWS-BUILD-DIR/sqlite/lib/libsqlite3.a,
# where cmake/mingw-w64.cmake looks for them. The source comes from `apt-get source sqlite3` (the
# deb-src entry that scripts/setup.sh adds), with Debian's patches applied. Debian's tree is
# SQLite's full source, not the one-file amalgamation: its own `make sqlite3.c` (tclsh and the host
# compiler) writes the amalgamation, which the MinGW-w64 compiler then builds into a static
# library. Nothing is downloaded but Debian's source package. A second run with the same Debian
# version costs nothing.
set -euo pipefail
cd "$(dirname "$0")/.."
out=$(realpath -m "${1:-build-win}/sqlite")

fail() {
  echo "build_sqlite_mingw: $*" >&2
  exit 1
}

cc=x86_64-w64-mingw32-gcc-posix
for tool in "$cc" x86_64-w64-mingw32-ar apt-get dpkg-source tclsh make gcc; do
  command -v "$tool" >/dev/null ||
    fail "$tool is missing; run scripts/setup.sh (it installs g++-mingw-w64-x86-64-posix, tcl, dpkg-dev)."
done

# The version Debian would give us: a new Debian release of SQLite (a security fix) rebuilds.
version=$(apt-cache showsrc sqlite3 2>/dev/null | awk '/^Version:/ { print $2 }' | sort -V | tail -n 1)
[[ -n $version ]] ||
  fail "apt knows no source package sqlite3; run scripts/setup.sh (it adds a deb-src entry and runs apt-get update)."
if [[ -f $out/lib/libsqlite3.a && -f $out/include/sqlite3.h && $(cat "$out/version" 2>/dev/null) == "$version" ]]; then
  echo "SQLite $version for Windows: $out (cached)"
  exit 0
fi

echo "SQLite $version for Windows: building from Debian's source into $out"
rm -rf "$out"
mkdir -p "$out/source" "$out/include" "$out/lib"
(cd "$out/source" && apt-get source -q "sqlite3=$version" >"$out/source.log" 2>&1) ||
  fail "apt-get source sqlite3=$version failed: $(tail -n 5 "$out/source.log")"
tree=$(find "$out/source" -mindepth 1 -maxdepth 1 -type d -name 'sqlite3-*' | head -n 1)
[[ -n $tree ]] || fail "apt-get source unpacked no sqlite3-* folder in $out/source"

# The amalgamation is written by host tools (lemon, mkkeywordhash), so this configure is for the
# host, not for Windows.
(cd "$tree" && ./configure --disable-tcl >"$out/configure.log" 2>&1 &&
  make sqlite3.c >"$out/amalgamation.log" 2>&1) ||
  fail "the amalgamation could not be made; see $out/configure.log and $out/amalgamation.log"

# Thread-safe (the forwarding thread and the update share the store); no extension loading, which
# a single static program has no use for.
"$cc" -O2 -DSQLITE_THREADSAFE=1 -DSQLITE_OMIT_LOAD_EXTENSION=1 -DSQLITE_DQS=0 \
  -c "$tree/sqlite3.c" -o "$out/sqlite3.o" 2>"$out/compile.log" ||
  fail "$cc could not compile sqlite3.c; see $out/compile.log"
x86_64-w64-mingw32-ar rcs "$out/lib/libsqlite3.a" "$out/sqlite3.o"
cp "$tree/sqlite3.h" "$tree/sqlite3ext.h" "$out/include/"
rm -rf "$out/source" "$out/sqlite3.o"
echo "$version" >"$out/version"
echo "SQLite $version for Windows: $out/lib/libsqlite3.a ($(stat -c %s "$out/lib/libsqlite3.a") bytes)"
