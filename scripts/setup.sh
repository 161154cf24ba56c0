#!/usr/bin/env bash
# Installs what Lumaflash needs on Debian 12, and nothing that is already there. Run as root (or
# with sudo available).
#   setup.sh run    what building and running the programs needs
#   setup.sh test   that, and what the whole test suite needs (the default)
set -euo pipefail
profile=${1:-test}

packages=(
  build-essential cmake ninja-build pkg-config ccache
  qt6-base-dev qt6-qpa-plugins fonts-dejavu-core nlohmann-json3-dev libsqlite3-dev libpq-dev
  tzdata
  libboost1.81-dev
)
if [[ $profile == test ]]; then
  packages+=(
    libgtest-dev libgmock-dev python3
    g++-mingw-w64-x86-64-posix wine wine64 xvfb imagemagick
    clang libclang-rt-14-dev clang-tidy cppcheck
    dpkg-dev file lintian man-db desktop-file-utils appstream zip unzip
    qemu-system-x86 busybox-static
    postgresql-15 sqlite3 tcl openssl perl iproute2 time
    chromium-headless-shell
  )
  # The browser tests run under node; a node that came with its own npm is kept as it is.
  if ! command -v npm >/dev/null; then packages+=(nodejs npm); fi
elif [[ $profile != run ]]; then
  echo "usage: setup.sh [run|test]" >&2
  exit 2
fi

missing=()
for package in "${packages[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q "install ok installed"; then
    missing+=("$package")
  fi
done

if ((${#missing[@]} > 0)); then
  echo "Installing: ${missing[*]}"
  sudo_cmd=()
  if ((EUID != 0)); then sudo_cmd=(sudo); fi
  "${sudo_cmd[@]}" apt-get update -q
  DEBIAN_FRONTEND=noninteractive "${sudo_cmd[@]}" apt-get install -y -q --no-install-recommends \
    "${missing[@]}"
fi

# The Windows build compiles SQLite, OpenSSL and libpq from Debian's own source packages
# (scripts/build_*_mingw.sh), which `apt-get source` fetches only with a deb-src entry. Debian 12 keeps its sources in deb822
# form; the entry goes into a file of its own beside them, for the same archives.
deb_src=/etc/apt/sources.list.d/lumaflash-deb-src.sources
if [[ $profile == test && ! -f $deb_src ]]; then
  sources=/etc/apt/sources.list.d/debian.sources
  [[ -f $sources ]] || { echo "setup: $sources is missing; add a deb-src entry for Debian 12 by hand" >&2; exit 1; }
  sudo_cmd=()
  if ((EUID != 0)); then sudo_cmd=(sudo); fi
  sed 's/^Types:.*/Types: deb-src/' "$sources" | "${sudo_cmd[@]}" tee "$deb_src" >/dev/null
  "${sudo_cmd[@]}" apt-get update -q
fi

# The browser tests' driver, exactly as tests/web/package-lock.json pins it; the browser itself is
# Debian's chromium-headless-shell, so nothing else is downloaded.
if [[ $profile == test ]]; then
  (cd "$(dirname "$0")/../tests/web" &&
    PLAYWRIGHT_SKIP_BROWSER_DOWNLOAD=1 npm ci --ignore-scripts --no-audit --no-fund --loglevel=error)
fi
