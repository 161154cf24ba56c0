// POSIX TZ strings, as the TZ variable and the closing line of a TZif file write a zone's rule.
#include "core/platform/tz_string.h"

#include <cctype>
#include <cstdint>

namespace lumaflash::platform {

namespace {

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

}  // namespace

std::optional<TimeZone::YearRule> ParseTzString(std::string_view text) {
  return PosixRuleParser(text).Parse();
}

}  // namespace lumaflash::platform
