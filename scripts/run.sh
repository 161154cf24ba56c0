#!/usr/bin/env bash
# Installs what is missing, builds, and opens the window on three simulated devices (Lumetta A,
# Lumetta C, Tessel Four); the example images for them are in examples/. Without a display the
# same demonstration runs on the command line instead.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh run
# Its own build folder with only the programs: no tests (running needs none of the test tools),
# no benchmarks and no header check, so the first run builds only what it runs.
BUILD_DIR=build-run bash scripts/build.sh -DLUMAFLASH_BUILD_TESTS=OFF -DLUMAFLASH_CHECK_HEADERS=OFF \
  -DLUMAFLASH_BUILD_BENCH=OFF
if [[ -z ${DISPLAY:-} && -z ${WAYLAND_DISPLAY:-} ]]; then
  echo "No display (DISPLAY and WAYLAND_DISPLAY are not set): running the same demo on the command line."
  exec bash scripts/demo.sh build-run
fi
exec build-run/app/lumaflash --simulate 3
