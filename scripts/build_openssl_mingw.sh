#!/usr/bin/env bash
# Builds OpenSSL's libraries for 64-bit Windows from Debian's own source package, once:
#   bash scripts/build_openssl_mingw.sh [WINDOWS-BUILD-DIR]     (default build-win)
# writes WINDOWS-BUILD-DIR/openssl/include/openssl/ and WINDOWS-BUILD-DIR/openssl/lib/libssl.a and
# libcrypto.a, static, for libpq's TLS (scripts/build_pq_mingw.sh). The source comes from
# `apt-get source openssl` with Debian's patches; only the libraries are built, with what a TLS
# client needs and nothing that loads code at run time (no shared modules, engines or DSOs). The
# result is cached per Debian version and flags, in the build folder and outside the clone
# (scripts/mingw_library.sh).
set -euo pipefail
cd "$(dirname "$0")/.."
name=openssl
source scripts/mingw_library.sh
out=$(realpath -m "${1:-build-win}/openssl")

for tool in x86_64-w64-mingw32-gcc-posix x86_64-w64-mingw32-ar apt-get dpkg-source make perl; do
  command -v "$tool" >/dev/null ||
    mingw_fail "$tool is missing; run scripts/setup.sh (it installs g++-mingw-w64-x86-64-posix, dpkg-dev)."
done

# What a TLS client needs; the ciphers, protocols and formats a records server never uses go.
configure=(mingw64 --cross-compile-prefix=x86_64-w64-mingw32- CC=gcc-posix
  no-shared no-module no-dso no-engine no-legacy no-tests
  no-ssl3 no-dtls no-srp no-srtp no-comp no-ct no-ocsp no-cms no-ts no-nextprotoneg
  no-idea no-mdc2 no-camellia no-seed no-sm2 no-sm3 no-sm4 no-whirlpool no-aria no-gost
  no-bf no-cast no-rc2 no-rc4 no-md4 no-rmd160 no-siphash no-ec2m)
# Where the libraries look for openssl.cnf. On Windows a relative or user-writable folder would
# let any user change how the programs' TLS behaves; this one only administrators may write.
# OpenSSL takes it as a build variable (--openssldir would make a Windows path relative).
dirs=(OPENSSLDIR="C:/Program Files/Common Files/SSL"
  ENGINESDIR="C:/Program Files/Common Files/SSL/engines"
  MODULESDIR="C:/Program Files/Common Files/SSL/modules")

build_openssl() {
  local tree=$1 out=$2 logs
  logs=$(dirname "$tree")
  (cd "$tree" && ./Configure "${configure[@]}" >"$logs/configure.log" 2>&1 &&
    make -j"$(nproc)" "${dirs[@]}" build_libs >"$logs/make.log" 2>&1) || return 1
  cp -r "$tree/include/openssl" "$out/include/"
  cp "$tree/libssl.a" "$tree/libcrypto.a" "$out/lib/"
}

mingw_library openssl "$out" "${configure[*]} ${dirs[*]}" build_openssl
