#include <ctime>

#include "core/platform/local_time.h"

namespace lumaflash::platform {

std::optional<LocalTime> ToLocalTime(std::chrono::system_clock::time_point when) {
  const std::time_t seconds = std::chrono::system_clock::to_time_t(when);
  std::tm local{};
  if (localtime_s(&local, &seconds) != 0) {
    return std::nullopt;
  }
  // The C runtime keeps no offset in its std::tm: take it from the local time read back as if
  // it were UTC.
  std::tm copy = local;
  const long long offset = static_cast<long long>(_mkgmtime(&copy)) - seconds;
  return LocalTime{local.tm_year + 1900,
                   local.tm_mon + 1,
                   local.tm_mday,
                   local.tm_hour,
                   local.tm_min,
                   local.tm_sec,
                   static_cast<int>(offset / 60)};
}

}  // namespace lumaflash::platform
