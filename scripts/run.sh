#!/usr/bin/env bash
# Installs what is missing, builds, and opens the window on three simulated devices (Lumetta A,
# Lumetta C, Tessel Four); the example images for them are in examples/. Without a display the
# same demonstration runs on the command line instead.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh run
# Its own build folder without the tests, so that running needs none of the test tools.
BUILD_DIR=build-run bash scripts/build.sh -DLUMAFLASH_BUILD_TESTS=OFF
if [[ -z ${DISPLAY:-} && -z ${WAYLAND_DISPLAY:-} ]]; then
  echo "No display (DISPLAY and WAYLAND_DISPLAY are not set): running the same demo on the command line."
  exec bash scripts/demo.sh build-run
fi
exec build-run/app/lumaflash --simulate 3
