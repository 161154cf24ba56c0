#!/usr/bin/env bash
# Writes the packages into dist/:
#   lumaflash_<version>_amd64.deb       the Debian package (CPack, built with Debian's
#                                       hardening flags from dpkg-buildflags, in build-package/;
#                                       only what the package holds: no tests, header check or
#                                       benchmarks)
#   lumaflash-<version>-win64.zip       with MinGW-w64: lumaflash.exe, lumaflash-cli.exe,
#                                       README.txt and LICENSE.txt (CRLF line ends)
# The Windows programs come from build-win/, configured as scripts/test_windows.sh does.
# WINDOW_EXE names another lumaflash.exe. ZIP_WITHOUT_WINDOW=1 writes the zip without it (and
# says so) while the Windows window cannot be built.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)
mkdir -p dist

fail() {
  echo "package: $*" >&2
  exit 1
}

version=$(sed -n 's/^project(Lumaflash VERSION \([0-9.]*\).*/\1/p' CMakeLists.txt)
[[ -n $version ]] || fail "no version in project() of CMakeLists.txt"

echo "== package: lumaflash_${version}_amd64.deb"
export DEB_BUILD_MAINT_OPTIONS=hardening=+all
CXXFLAGS="$(dpkg-buildflags --get CXXFLAGS) $(dpkg-buildflags --get CPPFLAGS)" \
  LDFLAGS="$(dpkg-buildflags --get LDFLAGS)" \
  cmake -S . -B build-package -G Ninja -DCMAKE_BUILD_TYPE=Release -DLUMAFLASH_WERROR=ON \
  -DLUMAFLASH_BUILD_TESTS=OFF -DLUMAFLASH_CHECK_HEADERS=OFF -DLUMAFLASH_BUILD_BENCH=OFF >/dev/null
cmake --build build-package
rm -f "dist/lumaflash_${version}_amd64.deb"
(cd build-package && cpack -G DEB -B "$root/dist" >/dev/null) || fail "cpack failed"
rm -rf dist/_CPack_Packages
deb="dist/lumaflash_${version}_amd64.deb"
[[ -f $deb ]] || fail "cpack wrote no $deb"
echo "$deb: $(stat -c %s "$deb") bytes"

if ! command -v x86_64-w64-mingw32-g++-posix >/dev/null; then
  echo "== package: no MinGW-w64, so no Windows zip"
  exit 0
fi
zip_name="lumaflash-${version}-win64"
echo "== package: $zip_name.zip"
# The native window is built for Windows where its sources are (app/win32/main.cpp).
windows_app=OFF
[[ -f app/win32/main.cpp ]] && windows_app=ON
bash scripts/build_sqlite_mingw.sh build-win
bash scripts/build_pq_mingw.sh build-win
cmake -S . -B build-win -G Ninja -DCMAKE_TOOLCHAIN_FILE="$root/cmake/mingw-w64.cmake" \
  -DCMAKE_BUILD_TYPE="${BUILD_TYPE:-RelWithDebInfo}" -DLUMAFLASH_WERROR=ON \
  -DLUMAFLASH_BUILD_APP=$windows_app >/dev/null
cmake --build build-win -j2
window_exe=${WINDOW_EXE:-build-win/app/lumaflash.exe}
stage=$(mktemp -d "${TMPDIR:-/tmp}/lumaflash-zip.XXXXXX")
trap 'rm -rf "$stage"' EXIT
mkdir "$stage/$zip_name"
x86_64-w64-mingw32-strip -o "$stage/$zip_name/lumaflash-cli.exe" build-win/cli/lumaflash-cli.exe
if [[ -f $window_exe ]]; then
  x86_64-w64-mingw32-strip -o "$stage/$zip_name/lumaflash.exe" "$window_exe"
elif [[ ${ZIP_WITHOUT_WINDOW:-0} == 1 ]]; then
  echo "package: WARNING: $window_exe is missing; the zip holds no lumaflash.exe" >&2
else
  fail "$window_exe (the Windows window) is missing; build it, name it with WINDOW_EXE, or set ZIP_WITHOUT_WINDOW=1 for a zip without it"
fi
sed 's/$/\r/' packaging/windows/README.txt >"$stage/$zip_name/README.txt"
sed 's/$/\r/' LICENSE >"$stage/$zip_name/LICENSE.txt"
rm -f "dist/$zip_name.zip"
(cd "$stage" && zip -q -X -r "$root/dist/$zip_name.zip" "$zip_name")
echo "dist/$zip_name.zip: $(stat -c %s "dist/$zip_name.zip") bytes"
