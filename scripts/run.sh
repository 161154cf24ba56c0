#!/usr/bin/env bash
# Installs what is missing, builds, and opens the window on three simulated devices (Lumetta A,
# Lumetta C, Tessel Four); the example images for them are in examples/. Without a display the
# same demonstration runs on the command line instead.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh
BUILD_DIR=build bash scripts/build.sh
if [[ -z ${DISPLAY:-} && -z ${WAYLAND_DISPLAY:-} ]]; then
  echo "No display (DISPLAY and WAYLAND_DISPLAY are not set): running the same demo on the command line."
  exec bash scripts/demo.sh build
fi
exec build/app/lumaflash --simulate 3
