#!/usr/bin/env bash
# Installs what building and testing Lumaflash needs on Debian 12, and nothing that is already
# there. Run as root (or with sudo available).
set -euo pipefail

packages=(
  build-essential cmake ninja-build pkg-config
  qt6-qpa-plugins fonts-dejavu-core
  libgtest-dev libgmock-dev
  qt6-base-dev
  g++-mingw-w64-x86-64-posix wine wine64
  clang libclang-rt-14-dev clang-tidy cppcheck
)

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
