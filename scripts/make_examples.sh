#!/usr/bin/env bash
# Writes the example images in examples/ for the simulated device types (repeatable payloads,
# made here, not taken from any device). Usage: scripts/make_examples.sh [BUILD_DIR]
set -euo pipefail
cd "$(dirname "$0")/.."
mkimage=${1:-build}/sim/lumaflash-mkimage
mkdir -p examples
"$mkimage" 3514 8192 examples/lumetta-a.bin 1
"$mkimage" 3711 16000 examples/lumetta-c.bin 1
"$mkimage" 3611 4096 examples/tessel-four.bin 2
"$mkimage" 4801 2048 examples/aerol-gamma.bin 1
