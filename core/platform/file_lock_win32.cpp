#include <windows.h>

#include <thread>

#include "core/platform/file_lock.h"

namespace lumaflash::platform {

namespace {

// LockFileEx waits without a time-out or not at all; a short look-again interval keeps the wait
// bounded.
constexpr std::chrono::milliseconds kLookAgain{1};

}  // namespace

FileLock::FileLock(const std::filesystem::path& lockPath, std::chrono::milliseconds limit) {
  HANDLE file = CreateFileW(lockPath.c_str(), GENERIC_READ | GENERIC_WRITE,
                            FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                            OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) {
    return;
  }
  m_handle = reinterpret_cast<std::intptr_t>(file);
  const auto deadline = std::chrono::steady_clock::now() + limit;
  for (;;) {
    OVERLAPPED whole{};
    if (LockFileEx(file, LOCKFILE_EXCLUSIVE_LOCK | LOCKFILE_FAIL_IMMEDIATELY, 0, MAXDWORD, MAXDWORD,
                   &whole)) {
      m_state = State::kLocked;
      return;
    }
    if (GetLastError() != ERROR_LOCK_VIOLATION) {
      return;  // a share that does not lock: go on as if there were no lock file
    }
    if (std::chrono::steady_clock::now() >= deadline) {
      m_state = State::kTimedOut;
      return;
    }
    std::this_thread::sleep_for(kLookAgain);
  }
}

FileLock::~FileLock() {
  if (m_handle != -1) {
    // Closing the handle releases the lock with it.
    CloseHandle(reinterpret_cast<HANDLE>(m_handle));
  }
}

}  // namespace lumaflash::platform
