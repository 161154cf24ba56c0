#!/usr/bin/env bash
# Builds SQLite for 64-bit Windows from Debian's own source package, once:
#   bash scripts/build_sqlite_mingw.sh [WINDOWS-BUILD-DIR]     (default build-win)
# writes WINDOWS-BUILD-DIR/sqlite/include/sqlite3.h and WINDOWS-BUILD-DIR/sqlite/lib/libsqlite3.a,
# where cmake/mingw-w64.cmake looks for them. The source comes from `apt-get source sqlite3` (the
# deb-src entry that scripts/setup.sh adds), with Debian's patches applied. Debian's tree is
# SQLite's full source, not the one-file amalgamation: its own `make sqlite3.c` (tclsh and the host
# compiler) writes the amalgamation, which the MinGW-w64 compiler then builds into a static
# library. Nothing is downloaded but Debian's source package. The result is cached per Debian
# version and flags, in the build folder and outside the clone (scripts/mingw_library.sh).
set -euo pipefail
cd "$(dirname "$0")/.."
name=sqlite
source scripts/mingw_library.sh
out=$(realpath -m "${1:-build-win}/sqlite")

cc=x86_64-w64-mingw32-gcc-posix
for tool in "$cc" x86_64-w64-mingw32-ar apt-get dpkg-source tclsh make gcc; do
  command -v "$tool" >/dev/null ||
    mingw_fail "$tool is missing; run scripts/setup.sh (it installs g++-mingw-w64-x86-64-posix, tcl, dpkg-dev)."
done

# Thread-safe (the forwarding thread and the update share the store); no extension loading, which
# a single static program has no use for.
cflags="-O2 -DSQLITE_THREADSAFE=1 -DSQLITE_OMIT_LOAD_EXTENSION=1 -DSQLITE_DQS=0"

build_sqlite() {
  local tree=$1 out=$2 logs
  logs=$(dirname "$tree")
  # The amalgamation is written by host tools (lemon, mkkeywordhash), so this configure is for
  # the host, not for Windows.
  (cd "$tree" && ./configure --disable-tcl >"$logs/configure.log" 2>&1 &&
    make sqlite3.c >"$logs/amalgamation.log" 2>&1) || return 1
  # shellcheck disable=SC2086 # the flags are words
  "$cc" $cflags -c "$tree/sqlite3.c" -o "$logs/sqlite3.o" 2>"$logs/compile.log" || return 1
  x86_64-w64-mingw32-ar rcs "$out/lib/libsqlite3.a" "$logs/sqlite3.o"
  cp "$tree/sqlite3.h" "$tree/sqlite3ext.h" "$out/include/"
}

mingw_library sqlite3 "$out" "$cflags" build_sqlite
