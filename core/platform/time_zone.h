#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "core/platform/expected.h"

namespace lumaflash::platform {

// A time zone that cannot be used: the sentence says which and what to give instead.
struct TimeZoneError {
  std::string message;
};

inline const std::string& Describe(const TimeZoneError& error) {
  return error.message;
}

// A place's rules for its clock: the offset from UTC at every instant, read from the IANA zone
// database (TZif files) or, on Windows, from the system's own rules for its zone. The standard
// library of the compilers we build with has no zone database of its own.
class TimeZone {
 public:
  // The day of a year on which the clock changes, as POSIX TZ strings and Windows write it.
  struct DayRule {
    enum class Kind { MonthWeekDay, JulianNoLeap, ZeroBasedDay };
    Kind kind = Kind::MonthWeekDay;
    int month = 1;                // MonthWeekDay: month 1..12,
    int week = 1;                 // its week 1..5 (5: the last such weekday of the month),
    int weekday = 0;              // 0 Sunday .. 6 Saturday
    int day = 0;                  // JulianNoLeap: 1..365, never 29 February; ZeroBasedDay: 0..365
    int32_t secondsOfDay = 7200;  // local time of the change; may be negative or past 24 h
  };
  // One year's rule: standard time, and daylight saving time between `start` (in standard
  // time) and `end` (in daylight time) when there is any.
  struct YearRule {
    int32_t standardOffset = 0;  // seconds east of UTC
    std::optional<int32_t> daylightOffset;
    DayRule start, end;
  };

  // UTC, named "UTC".
  static TimeZone Utc();
  // The zone `name` of the IANA database ("Asia/Shanghai"), read from the folder named by TZDIR
  // or the system's (/usr/share/zoneinfo). "UTC" is known everywhere.
  static Expected<TimeZone, TimeZoneError> Named(std::string_view name);
  // The zone this machine shows its users: TZ, else /etc/localtime on Linux; the zone set in
  // the system on Windows, which has no IANA name.
  static Expected<TimeZone, TimeZoneError> Local();
  // A zone from the bytes of a TZif file (RFC 8536).
  static Expected<TimeZone, TimeZoneError> FromTzif(std::string name,
                                                    std::span<const uint8_t> data);
  // A zone from a POSIX TZ string, such as "CET-1CEST,M3.5.0,M10.5.0/3".
  static Expected<TimeZone, TimeZoneError> FromPosixRule(std::string name, std::string_view rule);
  // A zone whose rule may change from year to year; `ruleOf` is asked for each year from
  // `firstYear` to `lastYear`, and the last year's rule holds after it.
  static TimeZone FromYearRules(std::string name, int firstYear, int lastYear,
                                const std::function<YearRule(int)>& ruleOf);

  // The IANA name, or the TZ string the zone came from; empty when it has none.
  const std::string& Name() const { return m_name; }
  // Seconds east of UTC at the instant `utcSeconds` (seconds since the Unix epoch).
  int32_t OffsetAt(int64_t utcSeconds) const;
  // The day of the instant `utcMs`, as days since 1970-01-01, on this zone's calendar.
  int64_t LocalDay(int64_t utcMs) const;
  // The instant (milliseconds since the epoch) at which local time reads `localSeconds`
  // (seconds since 1970-01-01 00:00 on this zone's clock). A time the clock shows twice is the
  // first of them; a time it skips is the instant it jumped, so a day always starts where
  // DayStartMs says.
  int64_t UtcFromLocal(int64_t localSeconds) const;
  // The first instant of local day `day` (days since 1970-01-01).
  int64_t DayStartMs(int64_t day) const;

 private:
  // Rules are expanded into transitions up to this year; later instants ask the rule itself.
  static constexpr int kExpandUntilYear = 2200;

  TimeZone(std::string name, int32_t initialOffset);
  void AddTransition(int64_t at, int32_t offset);
  void AppendRule(const YearRule& rule, int fromYear, int toYear);

  std::string m_name;
  int32_t m_initialOffset = 0;     // before the first transition
  std::vector<int64_t> m_at;       // transitions, UTC seconds, ascending
  std::vector<int32_t> m_offset;   // the offset from m_at[i] on
  std::optional<YearRule> m_tail;  // holds after the years m_at covers
  int m_tailFromYear = 0;
};

// "2026-12-08T14:03:07+01:00": the instant `utcMs` on the zone's clock, with the offset.
std::string LocalIsoTime(int64_t utcMs, const TimeZone& zone);

// A date or time as a user writes it on a command line: "2026-12-08", "2026-12-08T14:03",
// "2026-12-08T14:03:07.250", each optionally followed by "Z" or an offset "+08:00".
struct CivilTime {
  int year = 0;
  unsigned month = 1, day = 1;
  bool hasTime = false;
  int hour = 0, minute = 0, second = 0, millisecond = 0;
  std::optional<int32_t> offsetSeconds;  // given with the time: then the instant is fixed
};

// Nothing when `text` is not such a date or time, or names no real one (31 June, 25:00).
std::optional<CivilTime> ParseCivilTime(std::string_view text);

// The instant `time` stands for in `zone` (unless it carries its own offset), in milliseconds
// since the epoch. A date alone is its first instant, or with `dayEnd` the first instant of the
// next day, so that a range "until DATE" takes the whole of that day.
int64_t CivilTimeToUtcMs(const CivilTime& time, const TimeZone& zone, bool dayEnd);

}  // namespace lumaflash::platform
