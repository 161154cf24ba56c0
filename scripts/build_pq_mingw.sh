#!/usr/bin/env bash
# Builds libpq, PostgreSQL's client library, for 64-bit Windows from Debian's own source package,
# once, with TLS through OpenSSL (scripts/build_openssl_mingw.sh, run first by this script):
#   bash scripts/build_pq_mingw.sh [WINDOWS-BUILD-DIR]     (default build-win)
# writes WINDOWS-BUILD-DIR/pq/include/libpq-fe.h (and the headers it includes) and
# WINDOWS-BUILD-DIR/pq/lib/libpq.a, where cmake/mingw-w64.cmake looks for them. The source comes
# from `apt-get source postgresql-15`; of it only libpq and the parts of src/port and src/common
# that libpq uses are built. The archive is static (the libpq.a that PostgreSQL's own make leaves
# on Windows is the DLL's import library), and a program links it with -lssl -lcrypto -lws2_32
# -lsecur32. The result is cached per Debian version and flags, in the build folder and outside
# the clone (scripts/mingw_library.sh).
set -euo pipefail
cd "$(dirname "$0")/.."
windows_build=${1:-build-win}
bash scripts/build_openssl_mingw.sh "$windows_build"
name=pq
source scripts/mingw_library.sh
out=$(realpath -m "$windows_build/pq")
ssl=$(realpath -m "$windows_build/openssl")

for tool in x86_64-w64-mingw32-gcc-posix x86_64-w64-mingw32-ar x86_64-w64-mingw32-nm \
  x86_64-w64-mingw32-objcopy apt-get dpkg-source make perl; do
  command -v "$tool" >/dev/null ||
    mingw_fail "$tool is missing; run scripts/setup.sh (it installs g++-mingw-w64-x86-64-posix, dpkg-dev)."
done

configure=(--host=x86_64-w64-mingw32 CC=x86_64-w64-mingw32-gcc-posix --with-ssl=openssl
  --without-readline --without-zlib --without-icu --without-gssapi --without-ldap)

build_pq() {
  local tree=$1 out=$2 logs objects
  logs=$(dirname "$tree")
  (cd "$tree" && ./configure "${configure[@]}" CPPFLAGS="-I$ssl/include" LDFLAGS="-L$ssl/lib" \
    >"$logs/configure.log" 2>&1) || return 1
  # The headers that the backend generates (error codes) are needed by src/common too.
  make -C "$tree/src/backend" generated-headers >"$logs/headers.log" 2>&1 || return 1
  make -C "$tree/src/port" -j"$(nproc)" libpgport_shlib.a >"$logs/port.log" 2>&1 || return 1
  make -C "$tree/src/common" -j"$(nproc)" libpgcommon_shlib.a >"$logs/common.log" 2>&1 || return 1
  # libpq's own objects, as its Makefile lists them for this configuration, without the DLL.
  printf 'include Makefile\nlumaflash-objects: $(filter %%.o,$(filter-out $(WIN32RES),$(OBJS)))\n\t@echo $^ >%s\n' \
    "$logs/objects.txt" >"$logs/objects.mk"
  make -C "$tree/src/interfaces/libpq" -j"$(nproc)" -f "$logs/objects.mk" lumaflash-objects \
    >"$logs/libpq.log" 2>&1 || return 1
  read -r -a objects <"$logs/objects.txt"
  ((${#objects[@]} > 0)) || return 1
  local libpq=$tree/src/interfaces/libpq renames=() symbol
  # libpq brings its own pthread_mutex_lock and friends for Windows; in a static program that
  # also links winpthreads (std::thread) they would be defined twice. Renamed, libpq keeps
  # its own.
  for symbol in $(x86_64-w64-mingw32-nm -g --defined-only "$libpq/pthread-win32.o" |
    awk '$3 ~ /^pthread_/ { print $3 }'); do
    renames+=(--redefine-sym "$symbol=pq_$symbol")
  done
  mkdir -p "$logs/objects"
  for object in "${objects[@]}"; do
    x86_64-w64-mingw32-objcopy "${renames[@]}" "$libpq/$object" "$logs/objects/$object" || return 1
  done
  {
    echo "create $out/lib/libpq.a"
    for object in "${objects[@]}"; do echo "addmod $logs/objects/$object"; done
    echo "addlib $tree/src/common/libpgcommon_shlib.a"
    echo "addlib $tree/src/port/libpgport_shlib.a"
    echo save
    echo end
  } | x86_64-w64-mingw32-ar -M || return 1
  cp "$libpq/libpq-fe.h" "$tree/src/include/postgres_ext.h" "$tree/src/include/pg_config_ext.h" \
    "$out/include/"
  # The version, for CMake's FindPostgreSQL; nothing of the rest of the configuration.
  grep -E '^#define PG_(VERSION|VERSION_NUM|MAJORVERSION) ' "$tree/src/include/pg_config.h" \
    >"$out/include/pg_config.h"
}

mingw_library postgresql-15 "$out" "${configure[*]} openssl $(cat "$ssl/key")" build_pq
