// Windows keeps no IANA zone database. The machine's own zone comes from the system's rules,
// year by year (they have changed over time); an IANA name is read from TZDIR when the user
// points it at a folder of zone files, and "UTC" is always known.
#include <windows.h>

#include <chrono>
#include <cstdlib>

#include "core/platform/time_zone.h"
#include "core/platform/time_zone_system.h"

namespace lumaflash::platform {

namespace {

// The years whose rules are asked of the system; later years keep the last rule.
constexpr int kFirstRuleYear = 1970;
constexpr int kLastRuleYear = 2100;

int32_t Seconds(const SYSTEMTIME& time) {
  return time.wHour * 3600 + time.wMinute * 60 + time.wSecond;
}

// Windows writes a yearly change as "the Nth weekday of a month" (wYear 0), or as one date.
TimeZone::DayRule DayRuleOf(const SYSTEMTIME& change, int year) {
  TimeZone::DayRule rule;
  rule.secondsOfDay = Seconds(change);
  if (change.wYear == 0) {
    rule.month = change.wMonth;
    rule.week = change.wDay;
    rule.weekday = change.wDayOfWeek;
    return rule;
  }
  using std::chrono::sys_days;
  const auto date =
      std::chrono::year(year) / std::chrono::month(change.wMonth) / std::chrono::day(change.wDay);
  const auto first = std::chrono::year(year) / std::chrono::January / std::chrono::day(1);
  rule.kind = TimeZone::DayRule::Kind::ZeroBasedDay;
  rule.day = static_cast<int>((sys_days(date) - sys_days(first)).count());
  return rule;
}

TimeZone::YearRule RuleOfYear(int year) {
  TIME_ZONE_INFORMATION info{};
  if (!GetTimeZoneInformationForYear(static_cast<USHORT>(year), nullptr, &info)) {
    GetTimeZoneInformation(&info);
  }
  // Windows counts minutes west of UTC; the program counts seconds east.
  TimeZone::YearRule rule;
  rule.standardOffset = static_cast<int32_t>(-(info.Bias + info.StandardBias) * 60);
  if (info.DaylightDate.wMonth != 0 && info.DaylightBias != info.StandardBias) {
    rule.daylightOffset = static_cast<int32_t>(-(info.Bias + info.DaylightBias) * 60);
    rule.start = DayRuleOf(info.DaylightDate, year);
    rule.end = DayRuleOf(info.StandardDate, year);
  }
  return rule;
}

}  // namespace

std::optional<std::filesystem::path> ZoneDatabaseFolder() {
  const wchar_t* folder = _wgetenv(L"TZDIR");
  if (folder == nullptr || *folder == L'\0') {
    return std::nullopt;
  }
  return std::filesystem::path(folder);
}

Expected<TimeZone, TimeZoneError> TimeZone::Local() {
  // The system's zone has a Windows name ("W. Europe Standard Time"), not an IANA one, so the
  // zone carries none: a records server must then be told the zone with --tz.
  return FromYearRules("", kFirstRuleYear, kLastRuleYear, RuleOfYear);
}

}  // namespace lumaflash::platform
