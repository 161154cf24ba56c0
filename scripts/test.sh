#!/usr/bin/env bash
# Installs what is missing, builds with warnings as errors and runs every test.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh
BUILD_DIR=build bash scripts/build.sh -DLUMAFLASH_WERROR=ON
ctest --test-dir build --output-on-failure -j2
bash scripts/test_static.sh
bash scripts/test_sanitizers.sh
bash scripts/test_fuzz.sh
bash scripts/test_windows.sh
