#include <unistd.h>

#include <fstream>
#include <sstream>
#include <string_view>

#include "core/records/attempt_owner.h"

namespace lumaflash::records {

namespace {

std::string FirstLine(const std::string& path) {
  std::ifstream file(path);
  std::string line;
  std::getline(file, line);
  return line;
}

// The process's start time in clock ticks since the boot: field 22 of /proc/PID/stat, counted
// after the name in parentheses, which may hold spaces and parentheses of its own.
std::string StartTicks(const std::string& pid) {
  const std::string stat = FirstLine("/proc/" + pid + "/stat");
  const std::size_t nameEnd = stat.rfind(')');
  if (nameEnd == std::string::npos) {
    return {};
  }
  std::istringstream fields(stat.substr(nameEnd + 1));
  std::string field;
  constexpr int kStartTimeAfterName = 20;  // fields 3 (state) to 22 (starttime)
  for (int i = 0; i < kStartTimeAfterName && fields >> field; ++i) {
  }
  return fields ? field : std::string();
}

std::string BootId() {
  return FirstLine("/proc/sys/kernel/random/boot_id");
}

}  // namespace

std::string ThisProcessOwner() {
  static const std::string kOwner = [] {
    const std::string pid = std::to_string(::getpid());
    const std::string boot = BootId();
    const std::string start = StartTicks(pid);
    return boot.empty() || start.empty() ? std::string()
                                         : "linux " + boot + " " + pid + " " + start;
  }();
  return kOwner;
}

bool OwnerRuns(const std::string& owner) {
  std::istringstream parts(owner);
  std::string system, boot, pid, start;
  if (!(parts >> system >> boot >> pid >> start) || system != "linux" || boot != BootId() ||
      pid.find_first_not_of("0123456789") != std::string::npos) {
    return false;
  }
  return StartTicks(pid) == start;
}

}  // namespace lumaflash::records
