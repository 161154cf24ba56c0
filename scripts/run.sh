#!/usr/bin/env bash
# Installs what is missing, builds, and runs Lumaflash's main job on simulated devices: finds
# them, then updates one with an example image.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh
BUILD_DIR=build bash scripts/build.sh
bash scripts/demo.sh build
