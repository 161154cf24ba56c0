#!/usr/bin/env bash
# Mutation check: plants one small fault at a time in a copy of the tree, rebuilds it
# incrementally, runs the tests and tells whether they noticed. A fault that lives is a gap in
# the tests.
#
#   bash scripts/mutants.sh            every fault
#   bash scripts/mutants.sh 17 3       only faults 17 and 3, in that order (numbers as printed)
#
# Each fault ends in one of four ways, counted apart: "killed" (a test failed on every try),
# "timeout" (no try passed, and at least one ran past its time-out), "nobuild" (the faulty tree
# does not compile) and "lived" (the tests passed on one try at least). Only the first is a
# kill. A fault gets as many tries as the unchanged tree: MUTANT_TRIES (default 3).
#
# Faults in Windows files (app/win32/, *_win32.cpp) are built with MinGW and checked under Wine
# by scripts/test_windows.sh, run in the copy; the others by the Linux test programs, fast ones
# first, each stopping at its first failure.
#
# MUTANT_DIR (default build-mutants/) holds the copy and its builds, reused between runs.
# MUTANT_TEST_TIMEOUT (default 240 s) is the time-out of one test program, MUTANT_WINDOWS_TIMEOUT
# (default 1200 s) that of one Windows check. MUTANT_SKIP is a GoogleTest pattern of cases left
# out (e.g. one known to fail on this machine), so that the unchanged tree passes.
# MUTANT_RECORD (a path from the repository's top) receives this run's own record: a header
# with the date, the commit and the build type, one line per fault, and the counts.
set -uo pipefail
cd "$(dirname "$0")/.." || exit 1
root=$PWD
work=${MUTANT_DIR:-$root/build-mutants}
src=$work/src
build=$src/build
timeout_s=${MUTANT_TEST_TIMEOUT:-240}
windows_timeout_s=${MUTANT_WINDOWS_TIMEOUT:-1200}
tries=${MUTANT_TRIES:-3}
build_type=${MUTANT_BUILD_TYPE:-Debug}
record=${MUTANT_RECORD:+$root/$MUTANT_RECORD}
# Restoring a file after its fault must cost a cache hit, not a compile.
export CCACHE_BASEDIR=${CCACHE_BASEDIR:-$work} CCACHE_NOHASHDIR=1

# file | exact text | replacement   (\n in a text stands for a line break). app/: the window's
# toolkit-free decisions.
faults=(
  'core/protocol/programming.cpp|m_tx[2] = 0x01;|m_tx[2] = 0x00;'
  'core/protocol/programming.cpp|if (*received != 1 \|\| m_rx[0] != kAcknowledge) {|if (*received != 1) {'
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
  "core/serial/port.cpp|    os.Close();  // gives back what was already changed; the reason stays the configure step's\n|"
  'core/serial/port_posix.cpp|std::min(rx.size(), kReceiveBufferSize)|kReceiveBufferSize'
  'core/serial/port_posix.cpp|      reply.ended = Vanished(EIO, "read: end of file after poll: " + PollEvents(watch.revents));\n|'
  'core/update/flash.cpp|return (length + blockSize - 1u) / blockSize;|return length / blockSize;'
  'core/update/flash.cpp|if (record.bootloaderVersion > kNewestBootloader) {|if (record.bootloaderVersion >= kNewestBootloader) {'
  'core/update/flash.cpp|if (cancel != nullptr \&\& cancel->load()) {\n      return {SendResult::Interrupted, {}};|if (cancel != nullptr \&\& cancel->load() \&\& offset > 0) {\n      return {SendResult::Interrupted, {}};'
  'core/update/flash.cpp|  programmer.SendRun();|'
  'core/session/flash_interface.cpp|if (update::ResultOf(outcome) == FlashResult::WrongDevice) {|if (false) {'
  'core/session/flash_interface.cpp|    StampUpdate(session, deviceId);|    (void)session, (void)deviceId;'
  'core/image/firmware_image.cpp|return headerVersion >= 2 ? 16 : 13;|return headerVersion > 2 ? 16 : 13;'
  'core/image/firmware_image.cpp|  std::fill(image.data.begin() + length, image.data.end(), uint8_t{0});|'
  'core/image/firmware_image.cpp|if (length > kImageBufferSize) {|if (length >= kImageBufferSize) {'
  'core/settings/ini_text.cpp|return IsQuoted(value) ? value.substr(1, value.size() - 2) : value;|return value;'
  "core/settings/ini_text.cpp|if (bodyEnd > start \&\& text[bodyEnd - 1] == '\\\\r') {|if (false) {"
  'core/settings/ini_text.cpp|inFirstMatchingSection = inMatchingSection \&\& !location.lastLineOfFirstSection;|inFirstMatchingSection = inMatchingSection;'
  'core/settings/ini_text.cpp|HasLineBreak(key) \|\| HasLineBreak(value)) {|HasLineBreak(key) \|\| HasLineBreak(value.substr(0, 0))) {'
  'core/settings/ini_text.cpp|if (AsciiLower(a[i]) != AsciiLower(b[i])) {|if (AsciiLower(a[i]) != b[i]) {'
  'core/settings/ini_file.cpp|" exists and is a folder."|" exists."'
  'core/platform/file_replace_posix.cpp|    ::unlink(temp.path.c_str());|'
  'core/settings/settings.cpp|kLastOpenKey = "LAST_OPEN";|kLastOpenKey = "LAST_OPENED";'
  'core/settings/settings.cpp|"%.4x%.2d%.2d%.4d"|"%.4x%.2d%.2d%.2d"'
  "core/settings/settings.cpp|return !value.empty() \\&\\& value.front() == '1';|return !value.empty();"
  'core/session/last_image.cpp|if (result \|\| session.settingsErrorReported) {|if (result) {'
  'core/session/last_image.cpp|\|\| !IsReadableFile(session.currentImagePath)) {|\|\| (!IsReadableFile(session.currentImagePath) \&\& false)) {'
  'cli/option_values.cpp|if (hex.empty() \|\| hex.size() % 2 != 0) {|if (hex.empty()) {'
  'cli/device_choice.cpp|if (!rules.all \&\& candidates.size() > 1) {|if (!rules.all \&\& candidates.size() > 2) {'
  'cli/device_choice.cpp|if ((rules.all \|\| rules.typeMustMatch) \&\& record.deviceId|if (rules.all \&\& record.deviceId'
  'cli/flash_command.cpp|if (failed == 0 \|\| failed == records.size()) {|if (failed == 0) {'
  'cli/rescanner.cpp|if (probe.failure.error != state.failure.error) {|if (true) {'
  'core/platform/text_path_common.cpp|out += length == 0 ? kReplacement : text.substr(i, length);|out += length == 0 ? std::string_view{} : text.substr(i, length);'
  'app/controller/window_controller.cpp|if (selected.size() != 1 \|\| first < 0 \|\||if (selected.size() < 1 \|\| first < 0 \|\|'
  'app/controller/window_controller.cpp|session.useLastAgain \&\& !session.currentImagePath.empty();|session.useLastAgain;'
  'app/controller/window_controller.cpp|name.find_first_of("*?") == std::string::npos ? name : ""|name'
  'app/controller/window_controller.cpp|if (id != kAutoRepeatTimerId \|\| !m_autoRepeatArmed) {|if (id != kAutoRepeatTimerId) {'
  # The pace: a 10 ms type at the 100 ms default.
  'core/protocol/device_types.cpp|DeviceType{0x3514, "Lumetta A", milliseconds(10),|DeviceType{0x3514, "Lumetta A", milliseconds(100),'
  # The line settings.
  'core/serial/port_posix.cpp|  cfmakeraw(\&line);\n|'
  'core/serial/port_posix.cpp|cfsetospeed(\&line, B115200);|cfsetospeed(\&line, B9600);'
  'core/serial/port_posix.cpp|(CSIZE \| PARENB \| CSTOPB \| CRTSCTS)|(CSIZE \| PARENB \| CSTOPB)'
  'core/serial/port_posix.cpp|(IXON \| IXOFF \| IXANY \| INPCK \| ISTRIP)|(IXON \| INPCK \| ISTRIP)'
  'core/serial/port_posix.cpp|if (sys.Ioctl(m_fd, TIOCEXCL, nullptr) < 0) {|if (false) {'
  # Port watching.
  'core/serial/port_watch_posix.cpp|IN_CREATE \| IN_MOVED_TO \| IN_ATTRIB|IN_CREATE \| IN_MOVED_TO'
  'core/serial/port_watch_posix.cpp|std::filesystem::exists(ttyClass / std::string(name) / "device", error)) {|(std::filesystem::exists(ttyClass / std::string(name) / "device", error) \|\| true)) {'
  # USB identity and the port list.
  'core/serial/usb_identity.cpp|(!match.pid \|\| pid == match.pid)|(!match.pid \|\| pid.has_value())'
  'core/serial/usb_identity.cpp|  if (product.empty()) {\n    return UsbMatch{*vid, std::nullopt};\n  }\n|'
  "core/serial/usb_identity.cpp|levels[2].find('\&') == std::string_view::npos \&\& !parsed.interfaceNumber|!parsed.interfaceNumber"
  'core/serial/port_list_posix.cpp|if (ReadAttribute(ttyDir / "type") == "0") {|if (false) {'
  'core/serial/port_list_posix.cpp|std::strtol(number->c_str(), nullptr, 16)|std::strtol(number->c_str(), nullptr, 10)'
  # The progress line and the exit codes.
  'cli/progress_line.cpp|uint64_t{shown} * 100 / figures.blockCount|uint64_t{shown} * 99 / figures.blockCount'
  'cli/progress_line.cpp|if (detail.size() + kShortestBar + 3 <= room) {|if (detail.size() + kShortestBar <= room) {'
  'cli/exit_codes.h|kExitInterrupted = 10,|kExitInterrupted = 1,'
  'cli/exit_codes.h|kExitTransferFailed = 9,|kExitTransferFailed = 1,'
  'cli/flash_command.cpp|    case FlashResult::UnusableBlockSize:\n      return kExitNotUpdatable;|    case FlashResult::UnusableBlockSize:\n      return kExitFailure;'
  # The simulated device: an independent check is only one while it is right.
  'sim/device_model.cpp|if (!m_lastAckSentAt \|\| now >= *m_lastAckSentAt + m_pauseAfterLastAck) {|if (true) {'
  'sim/device_model.cpp|    case 0x3611:\n      return milliseconds{5};\n|'
  'sim/device_model.cpp|  AppendLittleEndian(reply, config.firmwareVersion);\n  AppendLittleEndian(reply, config.deviceId);|  AppendLittleEndian(reply, config.deviceId);\n  AppendLittleEndian(reply, config.firmwareVersion);'
  'sim/pty_host.cpp|  ::cfmakeraw(\&line);\n|'
  # The Win32 face, under Wine.
  'app/win32/win32_window.cpp|        m_controller->OnTimer(static_cast<int>(wParam));\n|'
  'app/win32/win32_window.cpp|ticked ? BST_CHECKED : BST_UNCHECKED|(ticked \&\& false) ? BST_CHECKED : BST_UNCHECKED'
  'app/win32/win32_window.cpp|PBM_SETPOS, static_cast<WPARAM>(ToInt(position)), 0)|PBM_SETPOS, static_cast<WPARAM>(ToInt(position) * 0), 0)'
  'app/win32/win32_window.cpp|ListView_SetItemState(list, selected, LVIS_SELECTED \| LVIS_FOCUSED,|ListView_SetItemState(list, selected, LVIS_FOCUSED,'
  'app/win32/win32_window.cpp|LB_ADDSTRING, 0, reinterpret_cast<LPARAM>(text.c_str())|LB_ADDSTRING, 0, reinterpret_cast<LPARAM>(L"")'
)

# Fast, pure tests first, so that most faults are caught within seconds.
test_order=(identify_test scan_test device_model_test ini_file_test last_image_test
  window_controller_test window_options_test help_test port_identity_test serial_link_test
  flash_test sim_test cli_test hostile_test qt_window_test)

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

# "old -> new" for the first line where the texts differ, so a fault over several lines reads
# as what it changes.
first_change() {
  python3 - "$1" "$2" <<'EOF'
import sys
old, new = (t.split("\n") for t in sys.argv[1:3])
i = next((i for i, (a, b) in enumerate(zip(old, new)) if a != b), min(len(old), len(new)))
pick = lambda lines: lines[i].strip() if i < len(lines) else ""
print(f"{pick(old)} -> {pick(new)}")
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
  cmake --build "$build" -j"${MUTANT_JOBS:-2}" --target lumaflash-cli lumaflash-sim lumaflash-mkimage \
    $(test_programs) >"$work/build.log" 2>&1
}

# Whether a file is built only for Windows, and so checked under Wine.
is_windows_file() {
  [[ $1 == app/win32/* || $1 == *_win32.cpp ]]
}

build_windows() {
  cmake -S "$src" -B "$src/build-win" -G Ninja -DCMAKE_TOOLCHAIN_FILE="$src/cmake/mingw-w64.cmake" \
    -DCMAKE_BUILD_TYPE="$build_type" -DLUMAFLASH_WERROR=ON -DCMAKE_CXX_COMPILER_LAUNCHER=ccache \
    >"$work/build.log" 2>&1 &&
    cmake --build "$src/build-win" -j"${MUTANT_JOBS:-2}" >>"$work/build.log" 2>&1
}

# One try of the Linux tests. Prints the program that failed; returns 0 (passed), 1 (a test
# failed) or 2 (a program ran past its time-out). A program named as the argument (the one that
# failed the try before) runs first: the try still passes only when every program does.
run_suite() {
  local first=${1:-} name status
  for name in $first $(test_programs | grep -vx "${first:-^$}"); do
    (cd "$build/tests" && timeout -k 10 "$timeout_s" "./$name" --gtest_fail_fast \
      ${MUTANT_SKIP:+--gtest_filter="-$MUTANT_SKIP"} \
      >"$work/test.log" 2>&1)
    status=$?
    if ((status != 0)); then
      echo "$name"
      ((status == 124 || status == 137)) && return 2
      return 1
    fi
  done
  return 0
}

# One try of the Windows check, as run_suite.
run_windows() {
  local status
  (cd "$src" && BUILD_DIR=build BUILD_TYPE="$build_type" timeout -k 10 "$windows_timeout_s" \
    bash scripts/test_windows.sh >"$work/windows.log" 2>&1)
  status=$?
  ((status == 0)) && return 0
  echo "test_windows.sh"
  ((status == 124 || status == 137)) && return 2
  return 1
}

# Tries the tests up to $tries times. Prints "lived", "killed BY" or "timeout BY".
judge() {
  local check=$1 attempt by="" status timedOut=""
  for ((attempt = 1; attempt <= tries; ++attempt)); do
    by=$($check "$by")
    status=$?
    ((status == 0)) && {
      echo lived
      return
    }
    ((status == 2)) && timedOut=$by
  done
  if [[ -n $timedOut ]]; then
    echo "timeout $timedOut"
  else
    echo "killed $by"
  fi
}

# Prints a line and adds it to the record.
say() {
  echo "$*"
  [[ -z $record ]] || echo "$*" >>"$record"
}

# The tree as it is copied now is the one the record speaks of.
commit=$(git -C "$root" rev-parse --short HEAD)
git -C "$root" diff --quiet HEAD -- . ${MUTANT_RECORD:+":(exclude)$MUTANT_RECORD"} ||
  commit+=" with uncommitted changes"
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
cmake -S "$src" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE="$build_type" \
  -DLUMAFLASH_WERROR=ON -DCMAKE_CXX_COMPILER_LAUNCHER=ccache \
  -DCMAKE_EXE_LINKER_FLAGS=-fuse-ld=lld >/dev/null || exit 1
if ! build_tests; then
  echo "the unchanged tree does not build; see $work/build.log" >&2
  exit 1
fi

# The faults named on the command line, in the order named; or all of them.
chosen=("$@")
((${#chosen[@]} > 0)) || mapfile -t chosen < <(seq "${#faults[@]}")
selected=()
linux_needed=false windows_needed=false
for number in "${chosen[@]}"; do
  ((number >= 1 && number <= ${#faults[@]})) || {
    echo "there is no fault $number (1 to ${#faults[@]})" >&2
    exit 2
  }
  selected+=("$((number - 1))")
  if is_windows_file "$(field "${faults[$((number - 1))]}" 0)"; then
    windows_needed=true
  else
    linux_needed=true
  fi
done

# The unchanged tree must pass within the tries a fault gets, or no verdict means anything.
check_clean() {
  local check=$1 attempt by
  for ((attempt = 1; attempt <= tries; ++attempt)); do
    by=$($check) && return 0
    echo "the unchanged tree fails $by (try $attempt of $tries); see $work/test.log or $work/windows.log" >&2
  done
  exit 1
}
! $linux_needed || check_clean run_suite
if $windows_needed; then
  build_windows || {
    echo "the unchanged tree does not build for Windows; see $work/build.log" >&2
    exit 1
  }
  check_clean run_windows
fi

if [[ -n $record ]]; then
  {
    echo "# scripts/mutants.sh, written by the run itself"
    echo "# $(date -u '+%Y-%m-%d %H:%M UTC'), commit $commit, $build_type build, $tries tries a fault"
    echo "# faults: ${*:-all}${MUTANT_SKIP:+, cases left out: $MUTANT_SKIP}"
  } >"$record"
fi

killed=0 timedout=0 nobuild=0 lived=0 total=0 stale=0
counts() {
  echo "$killed killed, $timedout timed out, $nobuild do not build, $lived lived, of $total"
}
# Stopped midway (Ctrl+C, a deadline), the run still says what it found, and says that it stopped.
stopped() {
  # Newer than the faulty object, so that the next run rebuilds it.
  [[ -f $work/original && -n ${file:-} ]] && cp "$work/original" "$src/$file"
  say "stopped before the end, during fault ${number:-?}; the faults judged so far: $(counts)"
  exit 130
}
trap stopped INT TERM
for i in "${selected[@]}"; do
  number=$((i + 1))
  entry=${faults[$i]}
  file=$(field "$entry" 0)
  old=$(field "$entry" 1)
  new=$(field "$entry" 2)
  label="$number $file: $(first_change "$old" "$new")"
  cp "$src/$file" "$work/original"
  if ! substitute "$src/$file" "$old" "$new"; then
    say "STALE    $label   (text not found exactly once: update this fault)"
    stale=$((stale + 1))
    continue
  fi
  if is_windows_file "$file"; then
    builder=build_windows check=run_windows
  else
    builder=build_tests check=run_suite
  fi
  if ! $builder; then
    verdict="nobuild"
  else
    verdict=$(judge "$check")
  fi
  total=$((total + 1))
  case $verdict in
    killed*) killed=$((killed + 1)) ;;
    timeout*) timedout=$((timedout + 1)) ;;
    nobuild) nobuild=$((nobuild + 1)) ;;
    lived) lived=$((lived + 1)) ;;
  esac
  by=${verdict#* }
  [[ $by == "$verdict" ]] && by="" || by="  [by $by]"
  say "$(printf '%-8s %s%s' "${verdict%% *}" "$label" "$by")"
  # Copy back with the original's time stamp, so the next build recompiles it from the cache.
  cp -p "$work/original" "$src/$file"
  touch "$src/$file"
done
build_tests || true
! $windows_needed || build_windows || true
trap - INT TERM
say "$(counts)"
if ((stale > 0)); then
  say "$stale STALE faults: their text is no longer in the code"
  exit 2
fi
