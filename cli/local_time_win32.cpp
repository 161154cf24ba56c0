#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <string>

#include "cli/flash_record.h"

namespace lumaflash::cli {

std::string LocalTimestamp(std::chrono::system_clock::time_point when) {
  const std::time_t seconds = std::chrono::system_clock::to_time_t(when);
  std::tm local{};
  if (localtime_s(&local, &seconds) != 0) {
    return {};
  }
  // The C runtime's %z gives the zone's name, not its offset: take the offset from the local
  // time read back as if it were UTC.
  std::tm copy = local;
  const long long offset = static_cast<long long>(_mkgmtime(&copy)) - seconds;
  char time[32];
  if (std::strftime(time, sizeof time, "%Y-%m-%dT%H:%M:%S", &local) == 0) {
    return {};
  }
  const long long minutes = std::llabs(offset) / 60;
  char stamp[48];
  std::snprintf(stamp, sizeof stamp, "%s%c%02lld:%02lld", time, offset < 0 ? '-' : '+',
                minutes / 60, minutes % 60);
  return stamp;
}

}  // namespace lumaflash::cli
