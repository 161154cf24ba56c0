#!/usr/bin/env bash
# Builds the libFuzzer targets in fuzz/ with clang into build-fuzz/ and runs each for a bounded
# time, starting from its seed corpus in fuzz/corpus/<target>/. A crash, a leak, a sanitizer
# report or a failed check fails the run; the input that caused it is left in
# build-fuzz/artifacts/.
#   FUZZ_SECONDS=600 bash scripts/test_fuzz.sh                  # longer runs (default 60 s each)
#   FUZZ_TARGETS="fuzz_settings_text" bash scripts/test_fuzz.sh # one target
set -euo pipefail
cd "$(dirname "$0")/.."

seconds=${FUZZ_SECONDS:-60}
targets=${FUZZ_TARGETS:-fuzz_identify_reply fuzz_image_loader fuzz_settings_text}
build_dir=build-fuzz

started=$SECONDS
cmake -S fuzz -B "$build_dir" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DCMAKE_CXX_COMPILER=clang++ -DLUMAFLASH_WERROR=ON >/dev/null
cmake --build "$build_dir" -j2 --target $targets
echo "== fuzz: built in $((SECONDS - started)) s"

export ASAN_OPTIONS="halt_on_error=1:abort_on_error=1:detect_leaks=1"
export UBSAN_OPTIONS="halt_on_error=1:print_stacktrace=1"
mkdir -p "$build_dir/artifacts"
# One target's run; its log goes to build-fuzz/<target>.log.
fuzz_one() {
  local target=$1 work="$build_dir/corpus/$1"
  mkdir -p "$work"
  "$build_dir/$target" "$work" "fuzz/corpus/$target" -max_total_time="$seconds" \
    -max_len=4096 -timeout=10 -rss_limit_mb=2048 -print_final_stats=1 \
    -artifact_prefix="$build_dir/artifacts/$target-" 2>"$build_dir/$target.log"
}
# The targets run side by side, one per core: each still has its whole time on a core of its own.
jobs=${JOBS:-$(nproc)}
declare -A running=()
failed=()
wait_for_one() {
  local done_pid target
  wait -n -p done_pid "${!running[@]}" || failed+=("${running[$done_pid]}")
  target=${running[$done_pid]}
  unset "running[$done_pid]"
  grep -E '^(stat::number_of_executed_units|stat::peak_rss_mb)|^#[0-9]+.*DONE' \
    "$build_dir/$target.log" | sed "s/^/$target: /" || true
}
for target in $targets; do
  ((${#running[@]} < jobs)) || wait_for_one
  echo "== fuzz: $target for $seconds s"
  fuzz_one "$target" &
  running[$!]=$target
done
while ((${#running[@]} > 0)); do wait_for_one; done
for target in "${failed[@]}"; do
  tail -60 "$build_dir/$target.log"
  echo "fuzz: $target failed; the input is in $build_dir/artifacts/" >&2
done
((${#failed[@]} == 0)) || exit 1
echo "== fuzz: done in $((SECONDS - started)) s"
