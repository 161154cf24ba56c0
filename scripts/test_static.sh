#!/usr/bin/env bash
# Static checks over the project's own code (core/, cli/, sim/, web/ and app/ when present): the shape
# of the tree (scripts/check_structure.py: includes only down the layer order, no std::string&
# error out-parameters, the README's Layout against the folders), then clang-tidy with the
# checks in .clang-tidy and cppcheck. Any finding fails. Uses the compile commands of build/ (or
# $BUILD_DIR), which scripts/build.sh writes; generated sources are not checked.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)
build_dir=${BUILD_DIR:-build}

echo "== static: structure"
python3 scripts/check_structure.py

if [[ ! -f $build_dir/compile_commands.json ]]; then
  cmake -S . -B "$build_dir" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
fi

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
# Only the translation units of our own folders, not tests, benchmarks or generated files.
python3 - "$build_dir/compile_commands.json" "$root" "$work/compile_commands.json" <<'PY'
import json, re, sys
commands, root, out = sys.argv[1:4]
own = re.compile(re.escape(root) + r"/(core|cli|sim|web|app)/")
# Flags only gcc knows (the warnings it may not fail on) would be clang-tidy errors of their own.
gcc_only = re.compile(r"\s-Wno-error=(restrict|maybe-uninitialized)")
kept = [c for c in json.load(open(commands)) if own.match(c["file"])]
for c in kept:
    c["command"] = gcc_only.sub("", c["command"])
json.dump(kept, open(out, "w"), indent=1)
print(f"static: {len(kept)} files")
PY

started=$SECONDS
echo "== static: clang-tidy"

# A unit found clean before, with the same preprocessed input, is not checked again: the record
# of clean units is kept outside the clone, like the compiler cache.
tidy_cache=${XDG_CACHE_HOME:-$HOME/.cache}/lumaflash/tidy
if ! python3 scripts/run_tidy.py "$work" "$tidy_cache" "${JOBS:-2}" >"$work/tidy.log" 2>&1; then
  { grep -E 'warning:|error:' -A3 "$work/tidy.log" || tail -40 "$work/tidy.log"; } |
    sed 's/\x1b\[[0-9;]*m//g' | head -100 || true
  echo "static: clang-tidy found problems (above)" >&2
  exit 1
fi
head -1 "$work/tidy.log"
echo "== static: clang-tidy clean in $((SECONDS - started)) s"

started=$SECONDS
echo "== static: cppcheck"
cppcheck --project="$work/compile_commands.json" --std=c++20 \
  --enable=warning,performance,portability --inline-suppr --suppress=missingIncludeSystem \
  --error-exitcode=1 --quiet -j "${JOBS:-2}" --cppcheck-build-dir="$work"
echo "== static: cppcheck clean in $((SECONDS - started)) s"
