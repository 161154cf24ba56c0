#pragma once

// Day arithmetic on the Gregorian calendar, shared by the zone rules and the civil times.
#include <chrono>
#include <cstdint>

namespace lumaflash::platform {

inline constexpr int64_t kDaySeconds = 86'400;

// Division that rounds towards minus infinity, so that an instant before 1970 falls on its day.
inline int64_t FloorDiv(int64_t value, int64_t divisor) {
  const int64_t quotient = value / divisor;
  return quotient * divisor > value ? quotient - 1 : quotient;
}

// Days since 1970-01-01 of the date `year`-`month`-`day`.
inline int64_t DaysFromCivil(int year, unsigned month, unsigned day) {
  return std::chrono::sys_days(std::chrono::year(year) / std::chrono::month(month) /
                               std::chrono::day(day))
      .time_since_epoch()
      .count();
}

// The year in which day `days` (since 1970-01-01) lies.
inline int YearOfDay(int64_t days) {
  const std::chrono::year_month_day date{
      std::chrono::sys_days(std::chrono::days(static_cast<int32_t>(days)))};
  return static_cast<int>(date.year());
}

}  // namespace lumaflash::platform
