// Dates and times as people read and write them: the ISO text of an instant on a zone's clock,
// and a date or time given on a command line.
#include <array>
#include <cctype>
#include <chrono>
#include <cstdio>

#include "core/platform/civil_days.h"
#include "core/platform/time_zone.h"

namespace lumaflash::platform {

namespace {

// Reads a date or time from the front of a text, one part after the other; each part says
// whether it was well formed.
class CivilTimeReader {
 public:
  explicit CivilTimeReader(std::string_view text) : m_text(text) {}

  bool AtEnd() const { return m_at == m_text.size(); }

  // "2026-12-08", a day the calendar has.
  bool ReadDate(CivilTime& time) {
    const auto year = Digits(4);
    const auto month = year && Take('-') ? Digits(2) : std::nullopt;
    const auto day = month && Take('-') ? Digits(2) : std::nullopt;
    if (!day) {
      return false;
    }
    time.year = *year;
    time.month = static_cast<unsigned>(*month);
    time.day = static_cast<unsigned>(*day);
    return std::chrono::year_month_day(std::chrono::year(time.year), std::chrono::month(time.month),
                                       std::chrono::day(time.day))
        .ok();
  }

  // "T14:03", "T14:03:07" or "T14:03:07.250"; a space may stand for the T.
  bool ReadClock(CivilTime& time) {
    time.hasTime = Take('T') || Take(' ');
    const auto hour = time.hasTime ? Digits(2) : std::nullopt;
    const auto minute = hour && Take(':') ? Digits(2) : std::nullopt;
    if (!minute || *hour > 23 || *minute > 59) {
      return false;
    }
    time.hour = *hour;
    time.minute = *minute;
    if (!Take(':')) {
      return true;
    }
    const auto second = Digits(2);
    if (!second || *second > 59) {
      return false;
    }
    time.second = *second;
    if (!Take('.')) {
      return true;
    }
    const auto millisecond = Digits(3);
    time.millisecond = millisecond.value_or(0);
    return millisecond.has_value();
  }

  // "Z" or an offset "+08:00", when one follows.
  bool ReadOffset(CivilTime& time) {
    if (Take('Z')) {
      time.offsetSeconds = 0;
      return true;
    }
    if (AtEnd() || (m_text[m_at] != '+' && m_text[m_at] != '-')) {
      return true;
    }
    const bool west = m_text[m_at++] == '-';
    const auto hours = Digits(2);
    const auto minutes = hours && Take(':') ? Digits(2) : std::nullopt;
    if (!minutes || *hours > 18 || *minutes > 59) {
      return false;
    }
    const int32_t offset = (*hours * 60 + *minutes) * 60;
    time.offsetSeconds = west ? -offset : offset;
    return true;
  }

 private:
  std::optional<int> Digits(std::size_t count) {
    if (m_text.size() < m_at + count) {
      return std::nullopt;
    }
    int value = 0;
    for (std::size_t i = 0; i < count; ++i) {
      const char c = m_text[m_at + i];
      if (!std::isdigit(static_cast<unsigned char>(c))) {
        return std::nullopt;
      }
      value = value * 10 + (c - '0');
    }
    m_at += count;
    return value;
  }

  bool Take(char c) {
    if (m_at < m_text.size() && m_text[m_at] == c) {
      ++m_at;
      return true;
    }
    return false;
  }

  std::string_view m_text;
  std::size_t m_at = 0;
};

}  // namespace

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
  CivilTimeReader reader(text);
  CivilTime time;
  if (!reader.ReadDate(time)) {
    return std::nullopt;
  }
  if (reader.AtEnd()) {
    return time;
  }
  if (!reader.ReadClock(time) || !reader.ReadOffset(time) || !reader.AtEnd()) {
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
