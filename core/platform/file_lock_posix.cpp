#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <cerrno>
#include <thread>

#include "core/platform/file_lock.h"

namespace lumaflash::platform {

namespace {

// flock() has no time-out of its own; a short look-again interval keeps the wait bounded.
constexpr std::chrono::milliseconds kLookAgain{1};

}  // namespace

FileLock::FileLock(const std::filesystem::path& lockPath, std::chrono::milliseconds limit) {
  // Never through a planted link: the lock file is ours to create, not someone else's to aim.
  const int fd = ::open(lockPath.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0666);
  if (fd < 0) {
    return;
  }
  m_handle = fd;
  const auto deadline = std::chrono::steady_clock::now() + limit;
  while (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
    if (errno != EWOULDBLOCK && errno != EINTR) {
      return;  // a file system without locks: go on as if there were no lock file
    }
    if (std::chrono::steady_clock::now() >= deadline) {
      m_state = State::kTimedOut;
      return;
    }
    std::this_thread::sleep_for(kLookAgain);
  }
  m_state = State::kLocked;
}

FileLock::~FileLock() {
  if (m_handle >= 0) {
    ::close(static_cast<int>(m_handle));  // closing drops the lock
  }
}

}  // namespace lumaflash::platform
