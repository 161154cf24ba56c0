#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <string>

#include "core/platform/log_file.h"

namespace lumaflash::platform {

namespace {

int WriteAll(int fd, std::string_view text) {
  while (!text.empty()) {
    const ssize_t written = ::write(fd, text.data(), text.size());
    if (written < 0 && errno == EINTR) {
      continue;
    }
    if (written <= 0) {
      return written < 0 ? errno : EIO;
    }
    text.remove_prefix(static_cast<std::size_t>(written));
  }
  return 0;
}

using Step = LogFileError::Step;

// The step that failed and its errno; 0: none failed.
struct Failure {
  Step step = Step::Open;
  int error = 0;
};

Failure LockedAppend(int fd, std::string_view header, std::string_view line) {
  while (::flock(fd, LOCK_EX) != 0) {
    if (errno != EINTR) {
      return {Step::Lock, errno};
    }
  }
  // Read under the lock: of two programs creating the log at once, only the first sees it empty.
  struct stat info {};
  if (::fstat(fd, &info) != 0) {
    return {Step::Size, errno};
  }
  std::string text;
  if (info.st_size == 0) {
    text.append(header).append("\n");
  }
  text.append(line).append("\n");
  return {Step::Write, WriteAll(fd, text)};
}

}  // namespace

Expected<void, LogFileError> AppendLocked(const std::filesystem::path& path,
                                          std::string_view header, std::string_view line) {
  const int fd = ::open(path.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC | O_NOCTTY, 0666);
  if (fd < 0) {
    return MakeUnexpected(LogFileError{Step::Open, path, errno});
  }
  Failure failure = LockedAppend(fd, header, line);
  // Closing lets go of the lock; a write-back error reported only here still counts.
  if (::close(fd) != 0 && failure.error == 0) {
    failure = {Step::Close, errno};
  }
  if (failure.error != 0) {
    return MakeUnexpected(LogFileError{failure.step, path, failure.error});
  }
  return {};
}

}  // namespace lumaflash::platform
