#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <cerrno>
#include <charconv>
#include <optional>
#include <string>
#include <string_view>
#include <system_error>

#include "core/platform/file_replace.h"

namespace lumaflash::platform {

namespace {

namespace fs = std::filesystem;

// Every call that may be interrupted by a signal goes through here; close() does not, because
// after an interrupted close the descriptor is already gone on Linux.
template <typename Call>
auto RetryOnInterrupt(Call call) {
  for (;;) {
    const auto result = call();
    if (result >= 0 || errno != EINTR) {
      return result;
    }
  }
}

bool ReadAll(int fd, std::string& text) {
  std::array<char, std::size_t{64} * 1024> buffer;
  for (;;) {
    const ssize_t got = RetryOnInterrupt([&] { return ::read(fd, buffer.data(), buffer.size()); });
    if (got < 0) {
      return false;
    }
    if (got == 0) {
      return true;
    }
    text.append(buffer.data(), static_cast<std::size_t>(got));
  }
}

struct TempFile {
  int fd = -1;
  int error = 0;
  fs::path path;
};

std::string TempPrefix(const fs::path& target) {
  return "." + target.filename().string() + ".";
}

// The process that made a temporary file ".NAME.PID.N.tmp", or nothing when the name is not one.
std::optional<pid_t> TempFileOwner(const std::string& name, const std::string& prefix) {
  constexpr std::string_view kSuffix = ".tmp";
  if (!name.starts_with(prefix) || !name.ends_with(kSuffix)) {
    return std::nullopt;
  }
  const std::string_view middle(name.data() + prefix.size(),
                                name.size() - prefix.size() - kSuffix.size());
  const std::size_t dot = middle.find('.');
  pid_t pid = 0;
  unsigned counter = 0;
  const char* pidEnd = middle.data() + std::min(dot, middle.size());
  const char* end = middle.data() + middle.size();
  if (dot == std::string_view::npos || std::from_chars(middle.data(), pidEnd, pid).ptr != pidEnd ||
      std::from_chars(pidEnd + 1, end, counter).ptr != end) {
    return std::nullopt;
  }
  return pid;
}

// A write that was killed leaves its temporary file behind. Those of processes that no longer
// exist are removed here, so they never pile up; unlink() never follows a link, so a name that
// someone else planted costs nothing but itself.
void RemoveLeftovers(const fs::path& target) {
  const std::string prefix = TempPrefix(target);
  std::error_code error;
  for (fs::directory_iterator entry(DirectoryOf(target), error), end; !error && entry != end;
       entry.increment(error)) {
    const std::string name = entry->path().filename().string();
    const std::optional<pid_t> owner = TempFileOwner(name, prefix);
    if (owner && *owner > 0 && *owner != ::getpid() && ::kill(*owner, 0) != 0 && errno == ESRCH) {
      ::unlink(entry->path().c_str());
    }
  }
}

// O_EXCL makes the name ours alone, and never follows a link planted at it. Mode 0666 lets the
// umask decide, as for any new file of the user.
TempFile CreateTempFileBeside(const fs::path& target) {
  static std::atomic<unsigned> counter{0};
  constexpr int kAttempts = 100;
  TempFile temp;
  for (int attempt = 0; attempt < kAttempts; ++attempt) {
    temp.path = DirectoryOf(target) / (TempPrefix(target) + std::to_string(::getpid()) + "." +
                                       std::to_string(counter.fetch_add(1)) + ".tmp");
    temp.fd = RetryOnInterrupt([&] {
      return ::open(temp.path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOCTTY, 0666);
    });
    if (temp.fd >= 0) {
      return temp;
    }
    temp.error = errno;
    if (temp.error != EEXIST) {
      return temp;
    }
  }
  return temp;
}

// With SIGXFSZ ignored, the write that crosses a file-size limit is cut short and the next one
// fails with EFBIG; both land in the error path like a full disk.
int WriteAll(int fd, std::string_view text) {
  while (!text.empty()) {
    const ssize_t written = RetryOnInterrupt([&] { return ::write(fd, text.data(), text.size()); });
    if (written < 0) {
      return errno;
    }
    if (written == 0) {
      return EIO;
    }
    text.remove_prefix(static_cast<std::size_t>(written));
  }
  return 0;
}

// Makes the rename itself durable. A failure is not reported: the new content is already in
// place and flushed, and losing only the rename in a crash still leaves the complete old file.
void SyncDirectory(const fs::path& directory) {
  const int fd = RetryOnInterrupt(
      [&] { return ::open(directory.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC); });
  if (fd >= 0) {
    RetryOnInterrupt([&] { return ::fsync(fd); });
    ::close(fd);
  }
}

Unexpected<FileError> Failure(FileError::Kind kind, int osError, bool isDirectory = false) {
  return MakeUnexpected(FileError{kind, osError, isDirectory});
}

// What an open regular file holds; `path` only for the access check of a later replace.
Expected<FileContent, FileError> ReadOpenFile(int fd, const fs::path& path) {
  struct stat info {};
  if (::fstat(fd, &info) != 0) {
    return Failure(FileError::Kind::Failed, errno);
  }
  if (!S_ISREG(info.st_mode)) {
    return Failure(FileError::Kind::NotAFile, 0, S_ISDIR(info.st_mode));
  }
  FileContent content;
  if (!ReadAll(fd, content.text)) {
    return Failure(FileError::Kind::Failed, errno);
  }
  content.permissions = info.st_mode & 07777;
  // The mode bits count even for root, who may write anything: a 0444 file says "keep".
  content.writable =
      (info.st_mode & 0222) != 0 && ::faccessat(AT_FDCWD, path.c_str(), W_OK, AT_EACCESS) == 0;
  return content;
}

// Writes the temporary file whole, flushes it and closes it; the errno of the first step that
// failed, or 0.
int FillAndFlush(int fd, std::string_view text) {
  int error = WriteAll(fd, text);
  ReachStep(ReplaceStep::TempWritten);
  if (error == 0 && RetryOnInterrupt([&] { return ::fsync(fd); }) != 0) {
    error = errno;
  }
  ReachStep(ReplaceStep::TempFlushed);
  // Some file systems report a failed write-back only at close.
  if (::close(fd) != 0 && error == 0) {
    error = errno;
  }
  ReachStep(ReplaceStep::TempClosed);
  return error;
}

}  // namespace

// O_NONBLOCK keeps a FIFO planted at the path from hanging the program in open(); for a regular
// file it changes nothing.
Expected<FileContent, FileError> ReadFileContent(const fs::path& path, bool refuseLink) {
  const int flags = O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK | (refuseLink ? O_NOFOLLOW : 0);
  const int fd = RetryOnInterrupt([&] { return ::open(path.c_str(), flags); });
  if (fd < 0) {
    const int error = errno;
    if (refuseLink && error == ELOOP) {
      return Failure(FileError::Kind::Link, error);
    }
    // ENOTDIR: a parent is a plain file, so this file cannot exist either.
    const bool missing = error == ENOENT || error == ENOTDIR;
    return Failure(missing ? FileError::Kind::Missing : FileError::Kind::Failed, error);
  }
  auto content = ReadOpenFile(fd, path);
  ::close(fd);
  return content;
}

Expected<void, FileError> ReplaceFileContent(const fs::path& target, std::string_view text,
                                             std::optional<uint32_t> permissions) {
  RemoveLeftovers(target);
  const TempFile temp = CreateTempFileBeside(target);
  if (temp.fd < 0) {
    return Failure(FileError::Kind::Failed, temp.error);
  }
  ReachStep(ReplaceStep::TempCreated);
  if (permissions) {
    // Keeping the old mode is a courtesy; the file is still usable if this fails.
    static_cast<void>(::fchmod(temp.fd, static_cast<mode_t>(*permissions)));
  }
  int error = FillAndFlush(temp.fd, text);
  // rename() replaces whatever stands at `target`, a link included, and never writes through it.
  if (error == 0 && ::rename(temp.path.c_str(), target.c_str()) != 0) {
    error = errno;
  }
  if (error != 0) {
    ::unlink(temp.path.c_str());
    return Failure(FileError::Kind::Failed, error);
  }
  ReachStep(ReplaceStep::Renamed);
  SyncDirectory(DirectoryOf(target));
  return {};
}

std::optional<std::string> PlatformWriteAdvice(int error) {
  switch (error) {
    case EDQUOT:
      return "Free some disk space, then try again.";
    case EFBIG:
      return "A file-size limit is set for this program (see \"ulimit -f\"); raise it, then try "
             "again.";
    default:
      return std::nullopt;
  }
}

}  // namespace lumaflash::platform
