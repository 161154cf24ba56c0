// Zone rules without a zone library: TZif files and POSIX TZ strings are expanded into one list
// of transitions that every question searches.
#include "core/platform/time_zone.h"

#include <algorithm>
#include <cctype>
#include <chrono>
#include <system_error>

#include "core/platform/civil_days.h"
#include "core/platform/text_path.h"
#include "core/platform/time_zone_system.h"
#include "core/platform/tz_string.h"

namespace lumaflash::platform {

namespace {

// The day (days since the epoch) on which `rule` falls in `year`.
int64_t RuleDay(const TimeZone::DayRule& rule, int year) {
  switch (rule.kind) {
    case TimeZone::DayRule::Kind::JulianNoLeap: {
      // Day 60 is 1 March whether or not the year is a leap year.
      const int64_t first = DaysFromCivil(year, 1, 1);
      const bool leap = std::chrono::year(year).is_leap();
      return first + rule.day - 1 + (leap && rule.day >= 60 ? 1 : 0);
    }
    case TimeZone::DayRule::Kind::ZeroBasedDay:
      return DaysFromCivil(year, 1, 1) + rule.day;
    case TimeZone::DayRule::Kind::MonthWeekDay:
      break;
  }
  const std::chrono::weekday wanted{static_cast<unsigned>(rule.weekday)};
  const auto month = std::chrono::month(static_cast<unsigned>(rule.month));
  if (rule.week >= 5) {
    return std::chrono::sys_days(std::chrono::year(year) / month / wanted[std::chrono::last])
        .time_since_epoch()
        .count();
  }
  return std::chrono::sys_days(std::chrono::year(year) / month /
                               wanted[static_cast<unsigned>(rule.week)])
      .time_since_epoch()
      .count();
}

struct YearChanges {
  int64_t daylightStarts;  // UTC seconds
  int64_t daylightEnds;
};

YearChanges ChangesIn(const TimeZone::YearRule& rule, int year) {
  return {RuleDay(rule.start, year) * kDaySeconds + rule.start.secondsOfDay - rule.standardOffset,
          RuleDay(rule.end, year) * kDaySeconds + rule.end.secondsOfDay - *rule.daylightOffset};
}

// The offset `rule` gives at `utcSeconds`, worked out for that instant alone.
int32_t RuleOffsetAt(const TimeZone::YearRule& rule, int64_t utcSeconds) {
  if (!rule.daylightOffset) {
    return rule.standardOffset;
  }
  const int year = YearOfDay(FloorDiv(utcSeconds + rule.standardOffset, kDaySeconds));
  const YearChanges changes = ChangesIn(rule, year);
  const bool daylight =
      changes.daylightStarts < changes.daylightEnds
          ? utcSeconds >= changes.daylightStarts && utcSeconds < changes.daylightEnds
          : utcSeconds >= changes.daylightStarts || utcSeconds < changes.daylightEnds;
  return daylight ? *rule.daylightOffset : rule.standardOffset;
}

// An IANA name is a relative path inside the database: "Europe/Berlin", "Etc/GMT+5". Anything
// that could leave the folder is refused before a file is opened.
bool IsZoneName(std::string_view name) {
  if (name.empty() || name.front() == '/' || name.front() == '.' || name.size() > 64) {
    return false;
  }
  const bool plain = std::all_of(name.begin(), name.end(), [](char c) {
    return std::isalnum(static_cast<unsigned char>(c)) != 0 || c == '/' || c == '_' || c == '-' ||
           c == '+' || c == '.';
  });
  return plain && name.find("..") == std::string_view::npos;
}

}  // namespace

Expected<TimeZone, TimeZoneError> TimeZone::Named(std::string_view name) {
  const std::string text(name);
  const std::optional<std::filesystem::path> folder = ZoneDatabaseFolder();
  std::error_code error;
  if (IsZoneName(name) && folder &&
      std::filesystem::is_regular_file(*folder / PathFromUtf8(text), error)) {
    return ZoneFromFile(*folder / PathFromUtf8(text), text);
  }
  if (name == "UTC" || name == "Etc/UTC") {
    return Utc();
  }
  if (!folder) {
    return MakeUnexpected(TimeZoneError{
        "\"" + text +
        "\" is no time zone known here: this system has no zone database. Set TZDIR to a "
        "folder of IANA zone files (such as a copy of /usr/share/zoneinfo), or leave --tz out "
        "to use this machine's own zone"});
  }
  return MakeUnexpected(TimeZoneError{
      "\"" + text + "\" is no time zone known on this machine (no such file in " +
      Utf8FromPath(*folder) + "): give an IANA name such as Europe/Berlin or Asia/Shanghai"});
}

TimeZone::TimeZone(std::string name, int32_t initialOffset)
    : m_name(std::move(name)), m_initialOffset(initialOffset) {}

TimeZone TimeZone::Utc() {
  return TimeZone("UTC", 0);
}

void TimeZone::AddTransition(int64_t at, int32_t offset) {
  if (!m_at.empty() && at <= m_at.back()) {
    return;
  }
  m_at.push_back(at);
  m_offset.push_back(offset);
}

void TimeZone::AppendRule(const YearRule& rule, int fromYear, int toYear) {
  for (int year = fromYear; year <= toYear; ++year) {
    if (!rule.daylightOffset) {
      AddTransition(DaysFromCivil(year, 1, 1) * kDaySeconds - rule.standardOffset,
                    rule.standardOffset);
      continue;
    }
    const YearChanges changes = ChangesIn(rule, year);
    if (changes.daylightStarts < changes.daylightEnds) {
      AddTransition(changes.daylightStarts, *rule.daylightOffset);
      AddTransition(changes.daylightEnds, rule.standardOffset);
    } else {
      AddTransition(changes.daylightEnds, rule.standardOffset);
      AddTransition(changes.daylightStarts, *rule.daylightOffset);
    }
  }
  m_tail = rule;
  m_tailFromYear = toYear + 1;
}

Expected<TimeZone, TimeZoneError> TimeZone::FromPosixRule(std::string name, std::string_view rule) {
  const std::optional<YearRule> parsed = ParseTzString(rule);
  if (!parsed) {
    return MakeUnexpected(TimeZoneError{
        "\"" + std::string(rule) +
        "\" is no time zone: give an IANA name such as Europe/Berlin, or a POSIX rule such as "
        "CET-1CEST,M3.5.0,M10.5.0/3"});
  }
  return FromYearRules(std::move(name), 1900, kExpandUntilYear, [&](int) { return *parsed; });
}

TimeZone TimeZone::FromYearRules(std::string name, int firstYear, int lastYear,
                                 const std::function<YearRule(int)>& ruleOf) {
  const YearRule first = ruleOf(firstYear);
  // Where daylight time spans the turn of the year (the southern half), a year begins in it.
  const bool beginsInDaylight =
      first.daylightOffset &&
      ChangesIn(first, firstYear).daylightEnds < ChangesIn(first, firstYear).daylightStarts;
  TimeZone zone(std::move(name), beginsInDaylight ? *first.daylightOffset : first.standardOffset);
  for (int year = firstYear; year <= lastYear; ++year) {
    zone.AppendRule(year == firstYear ? first : ruleOf(year), year, year);
  }
  return zone;
}

int32_t TimeZone::OffsetAt(int64_t utcSeconds) const {
  if (m_tail && !m_at.empty() && utcSeconds > m_at.back() &&
      YearOfDay(FloorDiv(utcSeconds, kDaySeconds)) >= m_tailFromYear) {
    return RuleOffsetAt(*m_tail, utcSeconds);
  }
  const auto after = std::upper_bound(m_at.begin(), m_at.end(), utcSeconds);
  return after == m_at.begin() ? m_initialOffset
                               : m_offset[static_cast<std::size_t>(after - m_at.begin() - 1)];
}

int64_t TimeZone::LocalDay(int64_t utcMs) const {
  const int64_t seconds = FloorDiv(utcMs, 1000);
  return FloorDiv(seconds + OffsetAt(seconds), kDaySeconds);
}

int64_t TimeZone::UtcFromLocal(int64_t localSeconds) const {
  // Clocks change far less often than once a day, so the offsets a day before and a day after
  // are the only two that can apply.
  const int32_t before = OffsetAt(localSeconds - kDaySeconds);
  const int32_t after = OffsetAt(localSeconds + kDaySeconds);
  const int64_t early = localSeconds - std::max(before, after);
  const int64_t late = localSeconds - std::min(before, after);
  for (const int64_t candidate : {early, late}) {
    if (candidate + OffsetAt(candidate) == localSeconds) {
      return candidate * 1000;
    }
  }
  // A time the clock skipped: the instant of the jump lies between the two readings.
  int64_t low = early;
  int64_t high = late;
  while (high - low > 1) {
    const int64_t middle = low + (high - low) / 2;
    (OffsetAt(middle) == OffsetAt(low) ? low : high) = middle;
  }
  return high * 1000;
}

int64_t TimeZone::DayStartMs(int64_t day) const {
  return UtcFromLocal(day * kDaySeconds);
}
}  // namespace lumaflash::platform
