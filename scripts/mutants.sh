#!/usr/bin/env bash
# Mutation check: plants one small fault at a time in a copy of the tree, rebuilds it
# incrementally, runs the test programs (stopping at the first failure) and tells whether the
# suite noticed. A fault that lives is a gap in the tests.
#
#   bash scripts/mutants.sh            every fault
#   bash scripts/mutants.sh 3 17       only faults 3 and 17 (numbers as printed)
#
# MUTANT_DIR (default build-mutants/) holds the copy and its build, reused between runs.
# MUTANT_TEST_TIMEOUT (default 240 s) is the time-out of one test program: a fault that makes the
# suite hang counts as killed. MUTANT_SKIP is a GoogleTest pattern of cases left out (e.g. one
# known to fail on this machine), so that the unchanged tree passes.
set -uo pipefail
cd "$(dirname "$0")/.."
root=$PWD
work=${MUTANT_DIR:-$root/build-mutants}
src=$work/src
build=$src/build
timeout_s=${MUTANT_TEST_TIMEOUT:-240}
# Restoring a file after its fault must cost a cache hit, not a compile.
export CCACHE_BASEDIR=${CCACHE_BASEDIR:-$work} CCACHE_NOHASHDIR=1

# file | exact text | replacement   (\n in a text stands for a line break). app/: the window's
# toolkit-free decisions.
faults=(
  'core/protocol/programming.cpp|m_tx[2] = 0x01;|m_tx[2] = 0x00;'
  'core/protocol/programming.cpp|return rxLength == 1 \&\& m_rx[0] == kAcknowledge;|return rxLength == 1;'
  'core/protocol/programming.cpp|m_tx[1] = static_cast<uint8_t>(size >> 8);|m_tx[1] = static_cast<uint8_t>(size \& 0xFF);'
  'core/protocol/device_types.cpp|"Tessel Four", milliseconds(5),|"Tessel Four", milliseconds(2),'
  'core/protocol/programming.cpp|std::this_thread::sleep_for(kStartPause);|'
  'core/protocol/device_types.cpp|type->blockPause : kSafePause;|type->blockPause : milliseconds(10);'
  'core/protocol/identify.cpp|if (offset + 2 > reply.size()) {|if (offset + 1 > reply.size()) {'
  'core/protocol/identify.cpp|reply[offset] \| (reply[offset + 1] << 8)|(reply[offset] << 8) \| reply[offset + 1]'
  'core/protocol/device_types.cpp|"Aerol Gamma Pro", kSafePause, ReplyLayout::SixByteSerial|"Aerol Gamma Pro", kSafePause, ReplyLayout::Basic'
  'core/protocol/identify.cpp|std::min({announced, kMaxSerialLength, available})|std::min({announced, kMaxSerialLength, available + 1})'
  'core/discovery/scan.cpp|if (record.bootloaderVersion != 0) {|if (true) {'
  'core/discovery/scan.cpp|probe.reply.size() < protocol::kMinIdentifyReply|probe.reply.size() <= protocol::kMinIdentifyReply'
  'core/discovery/scan.cpp|if (probe.failure.error != serial::PortError::NotFound) {|if (false) {'
  'core/discovery/catalogue.cpp|if (minor >= 100) {|if (minor > 100) {'
  'core/discovery/catalogue.cpp|"%X.%.2X"|"%X.%X"'
  'core/serial/port_posix.cpp|(void)sys.Ioctl(m_fd, TIOCNXCL, nullptr);|'
  'core/serial/port.cpp|os.DiscardInput();|'
  'core/serial/port_posix.cpp|if (sys.Now() >= deadline) {|if (false) {'
  'core/serial/port_posix.cpp|++attempts < kMaxInterruptedAttempts|++attempts < 1000 * kMaxInterruptedAttempts'
  'core/serial/port_posix.cpp|      return PortError::AccessDenied;|      return PortError::Unusable;'
  'core/serial/port.cpp|    os.Close();\n    m_impl->failure = why;|    m_impl->failure = why;'
  'core/serial/port_posix.cpp|std::min(rx.size(), kReceiveBufferSize)|kReceiveBufferSize'
  'core/serial/port_posix.cpp|      MarkVanished(EIO, "read: end of file after poll: " + PollEvents(watch.revents));\n|'
  'core/update/flash.cpp|return (length + blockSize - 1u) / blockSize;|return length / blockSize;'
  'core/update/flash.cpp|if (record.bootloaderVersion > kNewestBootloader) {|if (record.bootloaderVersion >= kNewestBootloader) {'
  'core/update/flash.cpp|if (cancel != nullptr \&\& cancel->load()) {|if (cancel != nullptr \&\& cancel->load() \&\& offset > 0) {'
  'core/update/flash.cpp|  programmer.SendRun();|'
  'core/session/flash_interface.cpp|if (update::ResultOf(outcome) == FlashResult::WrongDevice) {|if (false) {'
  'core/session/flash_interface.cpp|    StampUpdate(session, deviceId);|    (void)session, (void)deviceId;'
  'core/image/firmware_image.cpp|return headerVersion >= 2 ? 16 : 13;|return headerVersion > 2 ? 16 : 13;'
  'core/image/firmware_image.cpp|  std::fill(image.data.begin() + length, image.data.end(), uint8_t{0});|'
  'core/image/firmware_image.cpp|if (length > kImageBufferSize) {|if (length >= kImageBufferSize) {'
  'core/settings/ini_file.cpp|return IsQuoted(value) ? value.substr(1, value.size() - 2) : value;|return value;'
  "core/settings/ini_file.cpp|if (bodyEnd > start \&\& text[bodyEnd - 1] == '\\\\r') {|if (false) {"
  'core/settings/ini_file.cpp|inFirstMatchingSection = inMatchingSection \&\& !location.lastLineOfFirstSection;|inFirstMatchingSection = inMatchingSection;'
  'core/settings/ini_file.cpp|      ini_text::HasLineBreak(value)) {|      ini_text::HasLineBreak(value.substr(0, 0))) {'
  'core/settings/ini_file.cpp|if (AsciiLower(a[i]) != AsciiLower(b[i])) {|if (AsciiLower(a[i]) != b[i]) {'
  'core/settings/ini_file.cpp|" exists and is a folder."|" exists."'
  'core/platform/file_replace_posix.cpp|    ::unlink(temp.path.c_str());|'
  'core/settings/settings.cpp|kLastOpenKey = "LAST_OPEN";|kLastOpenKey = "LAST_OPENED";'
  'core/settings/settings.cpp|"%.4x%.2d%.2d%.4d"|"%.4x%.2d%.2d%.2d"'
  "core/settings/settings.cpp|return !value.empty() \\&\\& value.front() == '1';|return !value.empty();"
  'core/session/last_image.cpp|if (result \|\| session.settingsErrorReported) {|if (result) {'
  'core/session/last_image.cpp|\|\| !IsReadableFile(session.currentImagePath)) {|\|\| (!IsReadableFile(session.currentImagePath) \&\& false)) {'
  'cli/options.cpp|if (hex.empty() \|\| hex.size() % 2 != 0) {|if (hex.empty()) {'
  'cli/device_choice.cpp|if (!rules.all \&\& candidates.size() > 1) {|if (!rules.all \&\& candidates.size() > 2) {'
  'cli/device_choice.cpp|if ((rules.all \|\| rules.typeMustMatch) \&\& record.deviceId|if (rules.all \&\& record.deviceId'
  'cli/flash_command.cpp|if (failed == 0 \|\| failed == records.size()) {|if (failed == 0) {'
  'cli/rescanner.cpp|if (probe.failure.error != state.failure.error) {|if (true) {'
  "cli/json.cpp|      case '\"':\n        out += \"\\\\\\\\\\\\\"\";|      case '\"':\n        out += \"\\\\\"\";"
  'app/controller/window_controller.cpp|if (selected.size() != 1 \|\| first < 0 \|\||if (selected.size() < 1 \|\| first < 0 \|\|'
  'app/controller/window_controller.cpp|session.useLastAgain \&\& !session.currentImagePath.empty();|session.useLastAgain;'
  'app/controller/window_controller.cpp|name.find_first_of("*?") == std::string::npos ? name : ""|name'
  'app/controller/window_controller.cpp|if (id != kAutoRepeatTimerId \|\| !m_autoRepeatArmed) {|if (id != kAutoRepeatTimerId) {'
)

# Fast, pure tests first, so that most faults are caught within seconds.
test_order=(identify_test ini_file_test window_controller_test window_options_test help_test
  port_identity_test serial_link_test flash_test cli_test hostile_test qt_window_test)

test_programs() {
  local listed
  listed=$(ninja -C "$build" -t targets all | sed -n 's/^\([a-z_]*_test\): phony$/\1/p' | grep -v '^cmake_' | sort -u)
  local name
  for name in "${test_order[@]}"; do
    grep -qx "$name" <<<"$listed" && echo "$name"
  done
  for name in $listed; do
    printf '%s\n' "${test_order[@]}" | grep -qx "$name" || echo "$name"
  done
}

# Splits an entry into the three fields: '|' separates them, '\|' is a literal bar, '\&' an
# ampersand, '\n' a line break.
field() {
  python3 - "$1" "$2" <<'EOF'
import sys
entry, index = sys.argv[1], int(sys.argv[2])
parts, cur, i = [], "", 0
while i < len(entry):
    c = entry[i]
    if c == "\\" and i + 1 < len(entry):
        n = entry[i + 1]
        cur += {"|": "|", "&": "&", "n": "\n", "\\": "\\"}.get(n, "\\" + n)
        i += 2
        continue
    if c == "|":
        parts.append(cur)
        cur = ""
    else:
        cur += c
    i += 1
parts.append(cur)
sys.stdout.write(parts[index])
EOF
}

# Replaces the text once; exit 3 when it is not there exactly once.
substitute() {
  python3 - "$1" "$2" "$3" <<'EOF'
import sys
path, old, new = sys.argv[1:]
text = open(path, encoding="utf-8").read()
if text.count(old) != 1:
    sys.exit(3)
open(path, "w", encoding="utf-8").write(text.replace(old, new, 1))
EOF
}

build_tests() {
  # shellcheck disable=SC2046
  cmake --build "$build" -j"${MUTANT_JOBS:-2}" --target lumaflash-cli lumaflash-sim \
    $(test_programs) >"$work/build.log" 2>&1
}

run_suite() {
  local name
  for name in $(test_programs); do
    (cd "$build/tests" && timeout -k 10 "$timeout_s" "./$name" --gtest_fail_fast \
      ${MUTANT_SKIP:+--gtest_filter="-$MUTANT_SKIP"} \
      >"$work/test.log" 2>&1) || {
      echo "$name"
      return 1
    }
  done
  return 0
}

mkdir -p "$src"
# Mirror the tree into the copy; files whose content did not change keep their time stamps, so
# the build there stays incremental.
python3 - "$root" "$src" <<'EOF'
import filecmp, os, shutil, sys
root, dest = sys.argv[1:]
def skip(rel):
    top = rel.split(os.sep)[0]
    return top.startswith("build") or top == ".git"
seen = set()
for base, dirs, files in os.walk(root):
    rel_base = os.path.relpath(base, root)
    dirs[:] = [d for d in dirs if not skip(os.path.normpath(os.path.join(rel_base, d)))]
    for name in files:
        rel = os.path.normpath(os.path.join(rel_base, name))
        if skip(rel):
            continue
        seen.add(rel)
        target = os.path.join(dest, rel)
        if not os.path.exists(target) or not filecmp.cmp(os.path.join(base, name), target, False):
            os.makedirs(os.path.dirname(target), exist_ok=True)
            shutil.copy(os.path.join(base, name), target)  # a new time stamp: rebuilt for sure
for base, dirs, files in os.walk(dest):
    rel_base = os.path.relpath(base, dest)
    dirs[:] = [d for d in dirs if not skip(os.path.normpath(os.path.join(rel_base, d)))]
    for name in files:
        rel = os.path.normpath(os.path.join(rel_base, name))
        if rel not in seen:
            os.remove(os.path.join(base, name))
EOF
# Configured every time, so that the list of test programs follows the tree. Unoptimised and
# linked by lld: a fault costs one quick compile and fast relinks.
cmake -S "$src" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE="${MUTANT_BUILD_TYPE:-Debug}" \
  -DLUMAFLASH_WERROR=ON -DCMAKE_CXX_COMPILER_LAUNCHER=ccache \
  -DCMAKE_EXE_LINKER_FLAGS=-fuse-ld=lld >/dev/null || exit 1
if ! build_tests; then
  echo "the unchanged tree does not build; see $work/build.log" >&2
  exit 1
fi
# The unchanged tree must pass; a loaded machine gets two more tries before the check gives up.
for attempt in 1 2 3; do
  if failed=$(run_suite); then
    break
  fi
  echo "the unchanged tree fails $failed (attempt $attempt); see $work/test.log" >&2
  ((attempt == 3)) && exit 1
done

chosen=("$@")
killed=0
total=0
stale=0
for i in "${!faults[@]}"; do
  number=$((i + 1))
  if ((${#chosen[@]} > 0)) && ! printf '%s\n' "${chosen[@]}" | grep -qx "$number"; then
    continue
  fi
  entry=${faults[$i]}
  file=$(field "$entry" 0)
  old=$(field "$entry" 1)
  new=$(field "$entry" 2)
  label="$number $file: $(head -n1 <<<"$old" | sed 's/^ *//') -> $(head -n1 <<<"$new" | sed 's/^ *//')"
  cp "$src/$file" "$work/original"
  if ! substitute "$src/$file" "$old" "$new"; then
    echo "STALE   $label   (text not found exactly once: update this fault)"
    stale=$((stale + 1))
    continue
  fi
  total=$((total + 1))
  if ! build_tests; then
    verdict="killed (does not build)"
  elif by=$(run_suite); then
    verdict="lived"
  else
    verdict="killed by $by"
  fi
  [[ $verdict == killed* ]] && killed=$((killed + 1))
  echo "${verdict%% *}  $label  [${verdict#* }]" | sed 's/  \[lived\]$//'
  # Copy back with the original's time stamp, so the next build recompiles it from the cache.
  cp -p "$work/original" "$src/$file"
  touch "$src/$file"
done
build_tests || true
echo "$killed killed of $total"
if ((stale > 0)); then
  echo "$stale STALE faults: their text is no longer in the code" >&2
  exit 2
fi
