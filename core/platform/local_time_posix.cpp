#include <ctime>

#include "core/platform/local_time.h"

namespace lumaflash::platform {

std::optional<LocalTime> ToLocalTime(std::chrono::system_clock::time_point when) {
  const std::time_t seconds = std::chrono::system_clock::to_time_t(when);
  std::tm local{};
  // localtime_r, unlike localtime, keeps no shared buffer another thread could overwrite.
  if (::localtime_r(&seconds, &local) == nullptr) {
    return std::nullopt;
  }
  return LocalTime{local.tm_year + 1900,
                   local.tm_mon + 1,
                   local.tm_mday,
                   local.tm_hour,
                   local.tm_min,
                   local.tm_sec,
                   static_cast<int>(local.tm_gmtoff / 60)};
}

}  // namespace lumaflash::platform
