// The zone rules behind the factory's day: offsets read from the system's zone files and POSIX
// rules agree with the C library's own reading at every sampled instant, days start where the
// clock says, and dates on the command line are real dates.
#include <gtest/gtest.h>

#include <cstdlib>
#include <ctime>
#include <fstream>
#include <iterator>
#include <optional>
#include <ostream>
#include <string>

#include "core/platform/time_zone.h"

namespace lumaflash::platform {
namespace {

// Sets TZ for the C library while it lives, and gives the old value back.
class ScopedTz {
 public:
  explicit ScopedTz(const std::optional<std::string>& value) {
    if (const char* old = std::getenv("TZ")) {
      m_old = old;
    }
    value ? setenv("TZ", value->c_str(), 1) : unsetenv("TZ");
    tzset();
  }
  ~ScopedTz() {
    m_old ? setenv("TZ", m_old->c_str(), 1) : unsetenv("TZ");
    tzset();
  }
  ScopedTz(const ScopedTz&) = delete;
  ScopedTz& operator=(const ScopedTz&) = delete;

 private:
  std::optional<std::string> m_old;
};

long LibcOffset(int64_t seconds) {
  const std::time_t when = static_cast<std::time_t>(seconds);
  std::tm local{};
  localtime_r(&when, &local);
  return local.tm_gmtoff;
}

// Zones of every kind: no daylight time, northern and southern daylight time, half and
// three-quarter hours, negative daylight time (Dublin), rules with times before midnight
// (Nuuk), a skipped day (Apia), abolished daylight time (Sao Paulo), the Moroccan Ramadan
// changes; and POSIX rules as TZ holds them.
struct ZoneCase {
  const char* tz;            // as TZ holds it
  const char* expectedName;  // what Name() says
  // Compared from here: the C library reads a POSIX rule before 1971 as if for 1970.
  int64_t from = -2'170'000'000;
};
const ZoneCase kZones[] = {
    {"Asia/Shanghai", "Asia/Shanghai"},
    {"Europe/Berlin", "Europe/Berlin"},
    {":America/New_York", "America/New_York"},
    {"Australia/Sydney", "Australia/Sydney"},
    {"America/Nuuk", "America/Nuuk"},
    {"Asia/Kolkata", "Asia/Kolkata"},
    {"Pacific/Chatham", "Pacific/Chatham"},
    {"Pacific/Apia", "Pacific/Apia"},
    {"America/Sao_Paulo", "America/Sao_Paulo"},
    {"Europe/Dublin", "Europe/Dublin"},
    {"Africa/Casablanca", "Africa/Casablanca"},
    {"America/Santiago", "America/Santiago"},
    {"/usr/share/zoneinfo/Asia/Tokyo", "Asia/Tokyo"},
    {"CET-1CEST,M3.5.0,M10.5.0/3", "CET-1CEST,M3.5.0,M10.5.0/3", 31'536'000},
    {"AEST-10AEDT,M10.1.0,M4.1.0/3", "AEST-10AEDT,M10.1.0,M4.1.0/3", 31'536'000},
    {"<-03>3<-02>,M3.5.0/-2,M10.5.0/-1", "<-03>3<-02>,M3.5.0/-2,M10.5.0/-1", 31'536'000},
    {"<+0530>-5:30", "<+0530>-5:30", 31'536'000},
    {"XST5XDT,J60/2,J300/2", "XST5XDT,J60/2,J300/2", 31'536'000},
    {"YST5YDT,59/2,299/2", "YST5YDT,59/2,299/2", 31'536'000},
    {"", "UTC"},
};

void PrintTo(const ZoneCase& zone, std::ostream* out) {
  *out << "TZ=" << zone.tz;
}

class ZoneAgreesWithTheCLibrary : public ::testing::TestWithParam<ZoneCase> {};

TEST_P(ZoneAgreesWithTheCLibrary, AtEverySampledInstant) {
  const ScopedTz tz(std::string(GetParam().tz));
  const auto zone = TimeZone::Local();
  ASSERT_TRUE(zone) << Describe(zone.error());
  EXPECT_EQ(zone->Name(), GetParam().expectedName);
  // From 1901 to 2413 (past the years expanded into transitions), a step that lands on every hour
  // of the day and day of the week, and each instant a second either side of the step's middle.
  int mismatches = 0;
  for (int64_t t = GetParam().from; t < 14'000'000'000 && mismatches < 5; t += 1'097'711) {
    for (const int64_t at : {t, t + 500'000, t + 500'001}) {
      if (zone->OffsetAt(at) != LibcOffset(at)) {
        ADD_FAILURE() << "at " << at << ": " << zone->OffsetAt(at) << " vs " << LibcOffset(at);
        ++mismatches;
      }
    }
  }
  // Every day starts where the clock turns to it (a skipped day starts with the next).
  for (int64_t day = -25'000; day < 60'000; day += 37) {
    const int64_t start = zone->DayStartMs(day);
    EXPECT_LT(zone->LocalDay(start - 1), day) << day;
    EXPECT_GE(zone->LocalDay(start), day) << day;
  }
}

INSTANTIATE_TEST_SUITE_P(Zones, ZoneAgreesWithTheCLibrary, ::testing::ValuesIn(kZones));

// Dates and times as the command line takes them, and the instants they stand for.
TEST(TimeZone, DatesAndTimesInAZone) {
  struct Case {
    const char* zone;
    const char* text;
    bool dayEnd;
    std::optional<int64_t> utcMs;  // nothing: refused
  };
  const Case cases[] = {
      {"Asia/Shanghai", "2024-10-05", false, 1'728'057'600'000},  // 2024-10-04T16:00Z
      {"Asia/Shanghai", "2024-10-04", true, 1'728'057'600'000},
      {"UTC", "2024-02-29", false, 1'709'164'800'000},
      {"America/Santiago", "2024-09-08", false, 1'725'768'000'000},     // 04:00Z: no midnight
      {"Europe/Berlin", "2024-03-31T02:30", false, 1'711'846'800'000},  // skipped: the jump
      {"Europe/Berlin", "2024-10-27T02:30", false, 1'729'989'000'000},  // twice: the first
      {"Europe/Berlin", "2024-10-27 02:30:15.250", false, 1'729'989'015'250},
      {"Europe/Berlin", "2024-06-01T12:00:00Z", false, 1'717'243'200'000},
      {"Europe/Berlin", "2024-06-01T20:00+08:00", true, 1'717'243'200'000},
      {"UTC", "2025-06-31", false, std::nullopt},
      {"UTC", "2023-02-29", false, std::nullopt},
      {"UTC", "2024-13-01", false, std::nullopt},
      {"UTC", "2024-6-01", false, std::nullopt},
      {"UTC", "2024-06-01T24:00", false, std::nullopt},
      {"UTC", "2024-06-01T12", false, std::nullopt},
      {"UTC", "2024-06-01T12:00+8", false, std::nullopt},
      {"UTC", "2024-06-01x", false, std::nullopt},
      {"UTC", "yesterday", false, std::nullopt},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.zone) + " " + c.text);
    const auto zone = TimeZone::Named(c.zone);
    ASSERT_TRUE(zone) << Describe(zone.error());
    const std::optional<CivilTime> time = ParseCivilTime(c.text);
    ASSERT_EQ(time.has_value(), c.utcMs.has_value());
    if (time) {
      EXPECT_EQ(CivilTimeToUtcMs(*time, *zone, c.dayEnd), *c.utcMs);
    }
  }
  // 23:59:50Z is already the next day in the factory at UTC+8.
  EXPECT_EQ(TimeZone::Named("Asia/Shanghai")->LocalDay(1'728'086'390'000), 20'001);
  EXPECT_EQ(TimeZone::Utc().LocalDay(1'728'086'390'000), 20'000);
}

// Names that are no zone, or that would leave the zone folder, and damaged zone files are
// refused with the reason; nothing is read outside the database.
TEST(TimeZone, UnusableZonesAreRefused) {
  for (const char* name : {"Mars/Olympus", "../../etc/passwd", "/etc/passwd", "Europe", ""}) {
    const auto zone = TimeZone::Named(name);
    ASSERT_FALSE(zone) << name;
    EXPECT_NE(Describe(zone.error()).find("IANA name"), std::string::npos) << name;
  }
  std::ifstream in("/usr/share/zoneinfo/Europe/Berlin", std::ios::binary);
  const std::vector<uint8_t> berlin{std::istreambuf_iterator<char>(in),
                                    std::istreambuf_iterator<char>()};
  ASSERT_GT(berlin.size(), 1000u);
  for (const std::size_t cut : {0ul, 4ul, 43ul, 44ul, 300ul, berlin.size() / 2}) {
    EXPECT_FALSE(TimeZone::FromTzif("cut", {berlin.data(), cut})) << cut;
  }
  EXPECT_FALSE(TimeZone::FromPosixRule("", "CET-1CEST,M13.5.0,M10.5.0/3"));
  EXPECT_FALSE(TimeZone::FromPosixRule("", "C-1"));
}

}  // namespace
}  // namespace lumaflash::platform
