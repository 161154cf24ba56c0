#!/usr/bin/env bash
# Installs what is missing, builds with warnings as errors and runs every test.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh
BUILD_DIR=build bash scripts/build.sh -DLUMAFLASH_WERROR=ON
# The simulated devices answer within the protocol's 50 ms; a machine loaded to the point
# where a test process is not scheduled for that long can miss an acknowledge. Such a test gets
# one more run; a test that fails twice fails the suite.
ctest --test-dir build --output-on-failure -j2 --repeat until-pass:2
bash scripts/test_static.sh
bash scripts/test_sanitizers.sh
bash scripts/test_fuzz.sh
bash scripts/test_windows.sh
bash scripts/test_usb_vm.sh
# The .deb and the Windows zip, each checked as a user would get it.
bash scripts/package.sh
bash scripts/test_package.sh
bash scripts/test_zip.sh
