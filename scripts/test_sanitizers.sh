#!/usr/bin/env bash
# Builds the whole suite twice more and runs it: with AddressSanitizer + UndefinedBehaviorSanitizer
# (build-asan/) and with ThreadSanitizer (build-tsan/). Any sanitizer report ends the test
# program with a failure. SANITIZERS="asan" or "tsan" runs one of the two.
set -euo pipefail
cd "$(dirname "$0")/.."

export ASAN_OPTIONS="halt_on_error=1:abort_on_error=1:detect_leaks=1:strict_string_checks=1:detect_stack_use_after_return=1:check_initialization_order=1"
export UBSAN_OPTIONS="halt_on_error=1:print_stacktrace=1"
export TSAN_OPTIONS="halt_on_error=1:second_deadlock_stack=1"
export LSAN_OPTIONS="exitcode=23"

run_suite() {
  local name=$1 sanitizers=$2
  shift 2
  local build_dir="build-$name"
  local started=$SECONDS
  echo "== $name: building into $build_dir (-fsanitize=$sanitizers)"
  # O1 keeps the stacks readable and the build short; line tables (-g1) are all a report needs
  # for its file:line stacks, and much less to compile and link than full debug information.
  # Headers compiled alone and the benchmarks are checked by the main build.
  BUILD_DIR=$build_dir BUILD_TYPE=Debug bash scripts/build.sh \
    -DLUMAFLASH_SANITIZE="$sanitizers" -DCMAKE_CXX_FLAGS_DEBUG="-O1 -g1" -DLUMAFLASH_WERROR=OFF \
    -DLUMAFLASH_CHECK_HEADERS=OFF -DLUMAFLASH_BUILD_BENCH=OFF "$@"
  echo "== $name: running the suite"
  # Reports also go to files, so that none is lost in the test output.
  local reports
  reports=$(mktemp -d)
  local status=0
  ASAN_OPTIONS="$ASAN_OPTIONS:log_path=$reports/report" UBSAN_OPTIONS="$UBSAN_OPTIONS:log_path=$reports/report" \
    TSAN_OPTIONS="$TSAN_OPTIONS:log_path=$reports/report" \
    ctest --test-dir "$build_dir" --output-on-failure -j2 || status=$?
  if compgen -G "$reports/report*" >/dev/null; then
    cat "$reports"/report* >&2
    echo "== $name: sanitizer reports above" >&2
    rm -rf "$reports"
    exit 1
  fi
  rm -rf "$reports"
  if ((status != 0)); then
    exit "$status"
  fi
  echo "== $name: done in $((SECONDS - started)) s"
}

for which in ${SANITIZERS:-asan tsan}; do
  case $which in
    asan) run_suite asan "address,undefined" ;;
    # The window's tests run inside Qt, whose own threads are not instrumented and would only
    # give false reports; the threads of the core (device hosts, scan, update, forwarding, the
    # web view) are all here. Test programs with one thread are left out: no race can happen there.
    tsan) run_suite tsan "thread" -DLUMAFLASH_BUILD_APP=OFF -DLUMAFLASH_THREADED_TESTS_ONLY=ON ;;
    *) echo "unknown sanitizer set: $which (asan or tsan)" >&2; exit 2 ;;
  esac
done
