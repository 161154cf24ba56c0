#!/usr/bin/env bash
# Rewrites every icon file from the one drawing in tools/make_icon.py: the Windows icon and the
# hicolor theme's PNG and SVG icons that the Linux package installs.
set -euo pipefail
cd "$(dirname "$0")/.."
python3 tools/make_icon.py app/win32/lumaflash.ico
for size in 48 256; do
  python3 tools/make_icon.py "packaging/icons/lumaflash-$size.png" "$size"
done
python3 tools/make_icon.py packaging/icons/lumaflash.svg
