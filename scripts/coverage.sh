#!/usr/bin/env bash
# Builds with gcc --coverage into build-coverage/, runs the whole suite and prints the line and
# branch coverage of the core library (core/). Installs gcovr when it is missing. An HTML report
# with every line goes to build-coverage/coverage/index.html.
set -euo pipefail
cd "$(dirname "$0")/.."

if ! command -v gcovr >/dev/null; then
  sudo_cmd=()
  if ((EUID != 0)); then sudo_cmd=(sudo); fi
  "${sudo_cmd[@]}" apt-get update -q
  DEBIAN_FRONTEND=noninteractive "${sudo_cmd[@]}" apt-get install -y -q --no-install-recommends gcovr
fi

build_dir=build-coverage
BUILD_DIR=$build_dir BUILD_TYPE=Debug bash scripts/build.sh \
  -DCMAKE_CXX_FLAGS="--coverage -O0" -DCMAKE_EXE_LINKER_FLAGS="--coverage" \
  -DLUMAFLASH_BUILD_APP=OFF
find "$build_dir" -name '*.gcda' -delete
ctest --test-dir "$build_dir" -j2 --output-on-failure

mkdir -p "$build_dir/coverage"
# Branches that only exceptions take (the core throws none of its own) would hide the real ones.
gcovr --root . --filter 'core/' --object-directory "$build_dir" \
  --exclude-throw-branches --exclude-unreachable-branches \
  --html-details "$build_dir/coverage/index.html" --print-summary \
  --txt "$build_dir/coverage/summary.txt"
cat "$build_dir/coverage/summary.txt"
