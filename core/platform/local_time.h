#pragma once

#include <chrono>
#include <optional>

namespace lumaflash::platform {

// A moment as this machine's clock and time zone show it to the user.
struct LocalTime {
  int year = 0;
  int month = 0;  // 1..12
  int day = 0;    // 1..31
  int hour = 0;
  int minute = 0;
  int second = 0;
  int utcOffsetMinutes = 0;  // east of UTC is positive
};

// `when` in local time; nothing when the C runtime cannot convert it.
std::optional<LocalTime> ToLocalTime(std::chrono::system_clock::time_point when);

}  // namespace lumaflash::platform
