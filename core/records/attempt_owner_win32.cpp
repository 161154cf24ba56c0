#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>

#include <cstdint>
#include <sstream>

#include "core/records/attempt_owner.h"

namespace lumaflash::records {

namespace {

// A boot is told by when it began; the tick count drifts a little against the clock, so two
// readings within a few seconds name the same boot.
constexpr int64_t kBootTolerance100ns = 5LL * 10'000'000;

int64_t Now100ns() {
  FILETIME now{};
  ::GetSystemTimeAsFileTime(&now);
  return static_cast<int64_t>((uint64_t{now.dwHighDateTime} << 32) | now.dwLowDateTime);
}

int64_t BootTime100ns() {
  return Now100ns() - static_cast<int64_t>(::GetTickCount64()) * 10'000;
}

// The creation time of process `pid`, or 0 when it does not run (or cannot be asked).
int64_t CreationTime(DWORD pid, bool& denied) {
  denied = false;
  HANDLE process = ::OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, pid);
  if (process == nullptr) {
    denied = ::GetLastError() == ERROR_ACCESS_DENIED;
    return 0;
  }
  FILETIME created{}, exited{}, kernel{}, user{};
  DWORD exitCode = 0;
  int64_t time = 0;
  if (::GetProcessTimes(process, &created, &exited, &kernel, &user) != 0 &&
      ::GetExitCodeProcess(process, &exitCode) != 0 && exitCode == STILL_ACTIVE) {
    time = static_cast<int64_t>((uint64_t{created.dwHighDateTime} << 32) | created.dwLowDateTime);
  }
  ::CloseHandle(process);
  return time;
}

}  // namespace

std::string ThisProcessOwner() {
  bool denied = false;
  const DWORD pid = ::GetCurrentProcessId();
  const int64_t created = CreationTime(pid, denied);
  if (created == 0) {
    return {};
  }
  return "windows " + std::to_string(BootTime100ns()) + " " + std::to_string(pid) + " " +
         std::to_string(created);
}

bool OwnerRuns(const std::string& owner) {
  std::istringstream parts(owner);
  std::string system;
  int64_t boot = 0, created = 0;
  DWORD pid = 0;
  if (!(parts >> system >> boot >> pid >> created) || system != "windows") {
    return false;
  }
  const int64_t bootNow = BootTime100ns();
  if (boot < bootNow - kBootTolerance100ns || boot > bootNow + kBootTolerance100ns) {
    return false;
  }
  bool denied = false;
  const int64_t now = CreationTime(pid, denied);
  // A process of another user that we may not ask about: only the same boot is known, so the
  // attempt is taken to run rather than be called unfinished while it may still write.
  return now == created || (now == 0 && denied);
}

}  // namespace lumaflash::records
