// Zone rules without a zone library: TZif files (RFC 8536) and POSIX TZ strings, expanded into
// one list of transitions that every question searches.
#include "core/platform/time_zone.h"

#include <algorithm>
#include <array>
#include <cctype>
#include <chrono>
#include <cstdio>
#include <fstream>
#include <iterator>

#include "core/platform/text_path.h"
#include "core/platform/time_zone_system.h"

namespace lumaflash::platform {

namespace {

constexpr int64_t kDaySeconds = 86'400;
// Rules are expanded into transitions up to here; later instants ask the rule itself.
constexpr int kExpandUntilYear = 2200;

int64_t FloorDiv(int64_t value, int64_t divisor) {
  const int64_t quotient = value / divisor;
  return quotient * divisor > value ? quotient - 1 : quotient;
}

int64_t DaysFromCivil(int year, unsigned month, unsigned day) {
  return std::chrono::sys_days(std::chrono::year(year) / std::chrono::month(month) /
                               std::chrono::day(day))
      .time_since_epoch()
      .count();
}

int YearOfDay(int64_t days) {
  const std::chrono::year_month_day date{
      std::chrono::sys_days(std::chrono::days(static_cast<int32_t>(days)))};
  return static_cast<int>(date.year());
}

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

// Reads big-endian numbers from a TZif file, remembering whether it ran past the end.
class TzifReader {
 public:
  explicit TzifReader(std::span<const uint8_t> data) : m_data(data) {}
  bool Ok() const { return m_ok; }
  std::size_t Left() const { return m_ok ? m_data.size() - m_at : 0; }
  void Skip(std::size_t count) {
    m_ok = m_ok && count <= Left();
    m_at = m_ok ? m_at + count : m_at;
  }
  uint8_t Byte() {
    if (!m_ok || Left() < 1) {
      m_ok = false;
      return 0;
    }
    return m_data[m_at++];
  }
  int64_t Number(std::size_t bytes) {
    uint64_t value = 0;
    for (std::size_t i = 0; i < bytes; ++i) {
      value = (value << 8) | Byte();
    }
    // Sign-extend from the width read.
    const unsigned shift = static_cast<unsigned>(64 - 8 * bytes);
    return static_cast<int64_t>(value << shift) >> shift;
  }
  std::string_view Rest() const {
    return {reinterpret_cast<const char*>(m_data.data() + m_at), Left()};
  }

 private:
  std::span<const uint8_t> m_data;
  std::size_t m_at = 0;
  bool m_ok = true;
};

struct TzifCounts {
  int64_t isUt, isStd, leap, time, type, chars;
};

bool ReadHeader(TzifReader& reader, char& version, TzifCounts& counts) {
  const bool magic =
      reader.Byte() == 'T' && reader.Byte() == 'Z' && reader.Byte() == 'i' && reader.Byte() == 'f';
  version = static_cast<char>(reader.Byte());
  reader.Skip(15);
  counts = {reader.Number(4), reader.Number(4), reader.Number(4),
            reader.Number(4), reader.Number(4), reader.Number(4)};
  constexpr int64_t kMost = 1 << 20;
  const bool sane = counts.type >= 1 && counts.time >= 0 && counts.time < kMost &&
                    counts.type < 256 && counts.leap >= 0 && counts.leap < kMost &&
                    counts.chars >= 0 && counts.chars < kMost && counts.isUt >= 0 &&
                    counts.isUt <= counts.type && counts.isStd >= 0 && counts.isStd <= counts.type;
  return magic && reader.Ok() && sane;
}

std::size_t DataLength(const TzifCounts& counts, std::size_t timeBytes) {
  return static_cast<std::size_t>(counts.time) * (timeBytes + 1) +
         static_cast<std::size_t>(counts.type) * 6 + static_cast<std::size_t>(counts.chars) +
         static_cast<std::size_t>(counts.leap) * (timeBytes + 4) +
         static_cast<std::size_t>(counts.isStd + counts.isUt);
}

// POSIX TZ string parser: "std offset [dst [offset] [,start[/time],end[/time]]]".
class PosixRuleParser {
 public:
  explicit PosixRuleParser(std::string_view text) : m_text(text) {}

  std::optional<TimeZone::YearRule> Parse() {
    TimeZone::YearRule rule;
    std::optional<int32_t> standard;
    if (!Name() || !(standard = Offset())) {
      return std::nullopt;
    }
    rule.standardOffset = -*standard;  // POSIX counts west of Greenwich as positive
    if (AtEnd()) {
      return rule;
    }
    if (!Name()) {
      return std::nullopt;
    }
    rule.daylightOffset = rule.standardOffset + 3600;
    if (!AtEnd() && m_text.front() != ',') {
      const std::optional<int32_t> daylight = Offset();
      if (!daylight) {
        return std::nullopt;
      }
      rule.daylightOffset = -*daylight;
    }
    // Without dates, POSIX leaves the rule to the system; the US rule is the usual choice.
    rule.start = {TimeZone::DayRule::Kind::MonthWeekDay, 3, 2, 0, 0, 7200};
    rule.end = {TimeZone::DayRule::Kind::MonthWeekDay, 11, 1, 0, 0, 7200};
    if (AtEnd()) {
      return rule;
    }
    const auto start = Take(',') ? Day() : std::nullopt;
    const auto end = start && Take(',') ? Day() : std::nullopt;
    if (!end || !AtEnd()) {
      return std::nullopt;
    }
    rule.start = *start;
    rule.end = *end;
    return rule;
  }

 private:
  bool AtEnd() const { return m_text.empty(); }
  bool Take(char c) {
    if (!m_text.empty() && m_text.front() == c) {
      m_text.remove_prefix(1);
      return true;
    }
    return false;
  }
  // "CET", or "<+08>" for a name that is not letters only.
  bool Name() {
    if (Take('<')) {
      const std::size_t close = m_text.find('>');
      if (close == std::string_view::npos || close < 3) {
        return false;
      }
      m_text.remove_prefix(close + 1);
      return true;
    }
    std::size_t letters = 0;
    while (letters < m_text.size() && std::isalpha(static_cast<unsigned char>(m_text[letters]))) {
      ++letters;
    }
    m_text.remove_prefix(letters);
    return letters >= 3;
  }
  std::optional<int64_t> Number(int64_t most) {
    int64_t value = 0;
    std::size_t digits = 0;
    while (!m_text.empty() && std::isdigit(static_cast<unsigned char>(m_text.front())) &&
           digits < 4) {
      value = value * 10 + (m_text.front() - '0');
      m_text.remove_prefix(1);
      ++digits;
    }
    if (digits == 0 || value > most) {
      return std::nullopt;
    }
    return value;
  }
  // [+-]hh[:mm[:ss]], hours up to 167 (as in the time of a rule), in seconds.
  std::optional<int32_t> Offset() {
    const bool negative = Take('-');
    if (!negative) {
      Take('+');
    }
    auto hours = Number(167);
    auto minutes = hours && Take(':') ? Number(59) : std::optional<int64_t>(0);
    auto seconds = minutes && Take(':') ? Number(59) : std::optional<int64_t>(0);
    if (!hours || !minutes || !seconds) {
      return std::nullopt;
    }
    const int64_t total = *hours * 3600 + *minutes * 60 + *seconds;
    return static_cast<int32_t>(negative ? -total : total);
  }
  std::optional<TimeZone::DayRule> Day() {
    TimeZone::DayRule rule;
    if (Take('M')) {
      const auto month = Number(12);
      const auto week = month && Take('.') ? Number(5) : std::nullopt;
      const auto weekday = week && Take('.') ? Number(6) : std::nullopt;
      if (!weekday || *month < 1 || *week < 1) {
        return std::nullopt;
      }
      rule.month = static_cast<int>(*month);
      rule.week = static_cast<int>(*week);
      rule.weekday = static_cast<int>(*weekday);
    } else {
      rule.kind =
          Take('J') ? TimeZone::DayRule::Kind::JulianNoLeap : TimeZone::DayRule::Kind::ZeroBasedDay;
      const auto day = Number(365);
      if (!day || (rule.kind == TimeZone::DayRule::Kind::JulianNoLeap && *day < 1)) {
        return std::nullopt;
      }
      rule.day = static_cast<int>(*day);
    }
    if (Take('/')) {
      const auto time = Offset();
      if (!time) {
        return std::nullopt;
      }
      rule.secondsOfDay = *time;
    }
    return rule;
  }

  std::string_view m_text;
};

TimeZoneError BadZoneData(const std::string& name, const char* what) {
  return TimeZoneError{"the time zone " + (name.empty() ? std::string("of this machine") : name) +
                       " cannot be read (" + what +
                       "): give another with --tz ZONE, an IANA name such as Europe/Berlin"};
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

Expected<TimeZone, TimeZoneError> ZoneFromFile(const std::filesystem::path& path,
                                               std::string name) {
  std::ifstream in(path, std::ios::binary);
  const std::vector<uint8_t> bytes{std::istreambuf_iterator<char>(in),
                                   std::istreambuf_iterator<char>()};
  if (bytes.empty()) {
    return MakeUnexpected(TimeZoneError{"the time zone file " + Utf8FromPath(path) +
                                        " cannot be read: give the zone with --tz ZONE, an "
                                        "IANA name such as Europe/Berlin"});
  }
  return TimeZone::FromTzif(std::move(name), bytes);
}

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

Expected<TimeZone, TimeZoneError> TimeZone::FromTzif(std::string name,
                                                     std::span<const uint8_t> data) {
  TzifReader reader(data);
  char version = 0;
  TzifCounts counts{};
  if (!ReadHeader(reader, version, counts)) {
    return MakeUnexpected(BadZoneData(name, "not a TZif file"));
  }
  std::size_t timeBytes = 4;
  if (version >= '2') {
    // The first block holds 32-bit times for old readers; the second, 64-bit ones, follows.
    reader.Skip(DataLength(counts, 4));
    if (!ReadHeader(reader, version, counts)) {
      return MakeUnexpected(BadZoneData(name, "its second header is damaged"));
    }
    timeBytes = 8;
  }
  if (reader.Left() < DataLength(counts, timeBytes)) {
    return MakeUnexpected(BadZoneData(name, "the file is cut short"));
  }
  std::vector<int64_t> times(static_cast<std::size_t>(counts.time));
  for (int64_t& time : times) {
    time = reader.Number(timeBytes);
  }
  std::vector<uint8_t> typeOf(times.size());
  for (uint8_t& type : typeOf) {
    type = reader.Byte();
  }
  std::vector<int32_t> offsets(static_cast<std::size_t>(counts.type));
  for (int32_t& offset : offsets) {
    offset = static_cast<int32_t>(reader.Number(4));
    reader.Skip(2);  // whether it is daylight time, and its abbreviation
  }
  if (std::any_of(typeOf.begin(), typeOf.end(),
                  [&](uint8_t type) { return type >= offsets.size(); })) {
    return MakeUnexpected(BadZoneData(name, "a transition names no type"));
  }
  // Leap second records are skipped: the zone files in use count time without them.
  reader.Skip(static_cast<std::size_t>(counts.chars) +
              static_cast<std::size_t>(counts.leap) * (timeBytes + 4) +
              static_cast<std::size_t>(counts.isStd + counts.isUt));
  TimeZone zone(std::move(name), offsets.front());
  for (std::size_t i = 0; i < times.size(); ++i) {
    zone.AddTransition(times[i], offsets[typeOf[i]]);
  }
  const std::string_view footer = reader.Rest();
  if (timeBytes == 8 && footer.size() >= 2 && footer.front() == '\n') {
    const std::string_view rule = footer.substr(1, footer.find('\n', 1) - 1);
    if (!rule.empty()) {
      const std::optional<YearRule> parsed = PosixRuleParser(rule).Parse();
      if (!parsed) {
        return MakeUnexpected(BadZoneData(zone.m_name, "its closing rule cannot be read"));
      }
      const int from =
          zone.m_at.empty() ? 1970 : YearOfDay(FloorDiv(zone.m_at.back(), kDaySeconds));
      zone.AppendRule(*parsed, from, kExpandUntilYear);
    }
  }
  return zone;
}

Expected<TimeZone, TimeZoneError> TimeZone::FromPosixRule(std::string name, std::string_view rule) {
  const std::optional<YearRule> parsed = PosixRuleParser(rule).Parse();
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

std::string LocalIsoTime(int64_t utcMs, const TimeZone& zone) {
  const int64_t seconds = FloorDiv(utcMs, 1000);
  const int32_t offset = zone.OffsetAt(seconds);
  const int64_t local = seconds + offset;
  const int64_t inDay = local - FloorDiv(local, kDaySeconds) * kDaySeconds;
  const std::chrono::year_month_day date{
      std::chrono::sys_days(std::chrono::days(FloorDiv(local, kDaySeconds)))};
  const int32_t minutes = (offset < 0 ? -offset : offset) / 60;
  std::array<char, 64> text{};
  std::snprintf(text.data(), text.size(), "%04d-%02u-%02uT%02d:%02d:%02d%c%02d:%02d",
                static_cast<int>(date.year()), static_cast<unsigned>(date.month()),
                static_cast<unsigned>(date.day()), static_cast<int>(inDay / 3600),
                static_cast<int>(inDay / 60 % 60), static_cast<int>(inDay % 60),
                offset < 0 ? '-' : '+', minutes / 60, minutes % 60);
  return text.data();
}

std::optional<CivilTime> ParseCivilTime(std::string_view text) {
  std::size_t at = 0;
  auto digits = [&](std::size_t count) -> std::optional<int> {
    if (text.size() < at + count) {
      return std::nullopt;
    }
    int value = 0;
    for (std::size_t i = 0; i < count; ++i) {
      const char c = text[at + i];
      if (!std::isdigit(static_cast<unsigned char>(c))) {
        return std::nullopt;
      }
      value = value * 10 + (c - '0');
    }
    at += count;
    return value;
  };
  auto take = [&](char c) {
    if (at < text.size() && text[at] == c) {
      ++at;
      return true;
    }
    return false;
  };
  CivilTime time;
  const auto year = digits(4);
  const auto month = year && take('-') ? digits(2) : std::nullopt;
  const auto day = month && take('-') ? digits(2) : std::nullopt;
  if (!day) {
    return std::nullopt;
  }
  time.year = *year;
  time.month = static_cast<unsigned>(*month);
  time.day = static_cast<unsigned>(*day);
  if (!std::chrono::year_month_day(std::chrono::year(time.year), std::chrono::month(time.month),
                                   std::chrono::day(time.day))
           .ok()) {
    return std::nullopt;
  }
  if (at == text.size()) {
    return time;
  }
  time.hasTime = take('T') || take(' ');
  const auto hour = time.hasTime ? digits(2) : std::nullopt;
  const auto minute = hour && take(':') ? digits(2) : std::nullopt;
  if (!minute || *hour > 23 || *minute > 59) {
    return std::nullopt;
  }
  time.hour = *hour;
  time.minute = *minute;
  if (take(':')) {
    const auto second = digits(2);
    if (!second || *second > 59) {
      return std::nullopt;
    }
    time.second = *second;
    if (take('.')) {
      const auto millisecond = digits(3);
      if (!millisecond) {
        return std::nullopt;
      }
      time.millisecond = *millisecond;
    }
  }
  if (take('Z')) {
    time.offsetSeconds = 0;
  } else if (at < text.size() && (text[at] == '+' || text[at] == '-')) {
    const bool west = text[at++] == '-';
    const auto hours = digits(2);
    const auto minutes = hours && take(':') ? digits(2) : std::nullopt;
    if (!minutes || *hours > 18 || *minutes > 59) {
      return std::nullopt;
    }
    const int32_t offset = (*hours * 60 + *minutes) * 60;
    time.offsetSeconds = west ? -offset : offset;
  }
  if (at != text.size()) {
    return std::nullopt;
  }
  return time;
}

int64_t CivilTimeToUtcMs(const CivilTime& time, const TimeZone& zone, bool dayEnd) {
  const int64_t day = DaysFromCivil(time.year, time.month, time.day);
  if (!time.hasTime) {
    return zone.DayStartMs(dayEnd ? day + 1 : day);
  }
  const int64_t local = day * kDaySeconds + time.hour * 3600LL + time.minute * 60LL + time.second;
  const int64_t utcMs =
      time.offsetSeconds ? (local - *time.offsetSeconds) * 1000 : zone.UtcFromLocal(local);
  return utcMs + time.millisecond;
}

}  // namespace lumaflash::platform
