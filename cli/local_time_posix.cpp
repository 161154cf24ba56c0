#include <cstdio>
#include <ctime>
#include <string>

#include "cli/flash_record.h"

namespace lumaflash::cli {

std::string LocalTimestamp(std::chrono::system_clock::time_point when) {
  const std::time_t seconds = std::chrono::system_clock::to_time_t(when);
  std::tm local{};
  ::localtime_r(&seconds, &local);
  char time[32];
  char zone[16];
  if (std::strftime(time, sizeof time, "%Y-%m-%dT%H:%M:%S", &local) == 0 ||
      std::strftime(zone, sizeof zone, "%z", &local) != 5) {
    return {};
  }
  // strftime writes the offset as +0100; ISO 8601's extended form wants +01:00.
  char stamp[48];
  std::snprintf(stamp, sizeof stamp, "%s%.3s:%s", time, zone, zone + 3);
  return stamp;
}

}  // namespace lumaflash::cli
