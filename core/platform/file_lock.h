#pragma once

#include <chrono>
#include <cstdint>
#include <filesystem>

namespace lumaflash::platform {

// An advisory, exclusive lock on a side file (flock on Linux, LockFileEx on Windows), held from
// construction to destruction. Programs that take the same lock never run their locked spans
// at once; the operating system drops it when a program dies, so no stale lock remains.
class FileLock {
 public:
  enum class State {
    kLocked,
    kTimedOut,     // another program held it for the whole wait
    kUnavailable,  // the side file cannot be created (a read-only folder, say); nothing locked
  };

  // Creates `lockPath` when missing and waits up to `limit` for the lock.
  FileLock(const std::filesystem::path& lockPath, std::chrono::milliseconds limit);
  ~FileLock();
  FileLock(const FileLock&) = delete;
  FileLock& operator=(const FileLock&) = delete;

  State Result() const { return m_state; }

 private:
  State m_state = State::kUnavailable;
  std::intptr_t m_handle = -1;
};

}  // namespace lumaflash::platform
