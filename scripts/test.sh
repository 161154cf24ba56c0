#!/usr/bin/env bash
# Installs what is missing, builds with warnings as errors and runs every test.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh
BUILD_DIR=build bash scripts/build.sh -DLUMAFLASH_WERROR=ON
ctest --test-dir build --output-on-failure -j2
# Station records against a real PostgreSQL server that the harness starts and always stops.
bash scripts/with_postgres.sh bash tests/records/server_checks.sh build
bash scripts/test_static.sh
bash scripts/test_sanitizers.sh
bash scripts/test_fuzz.sh
bash scripts/test_windows.sh
bash scripts/test_usb_vm.sh
# The .deb and the Windows zip, each checked as a user would get it.
bash scripts/package.sh
bash scripts/test_package.sh
bash scripts/test_zip.sh
# Tests stay lean: their lines against the code's, counted alike (.cpp and .h).
lines() { find "$@" \( -name '*.cpp' -o -name '*.h' \) -print0 | xargs -0 cat | wc -l; }
test_lines=$(lines tests fuzz)
code_lines=$(lines core app cli sim)
echo "tests: $test_lines lines (tests/, fuzz/), code: $code_lines lines (core/, app/, cli/, sim/)," \
  "ratio $((100 * test_lines / code_lines)) %"
