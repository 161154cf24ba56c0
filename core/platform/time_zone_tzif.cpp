// Zones from TZif files (RFC 8536), the form the IANA zone database is installed in.
#include <algorithm>
#include <cstdint>
#include <fstream>
#include <iterator>
#include <vector>

#include "core/platform/civil_days.h"
#include "core/platform/text_path.h"
#include "core/platform/time_zone.h"
#include "core/platform/time_zone_system.h"
#include "core/platform/tz_string.h"

namespace lumaflash::platform {

namespace {

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

TimeZoneError BadZoneData(const std::string& name, const char* what) {
  return TimeZoneError{"the time zone " + (name.empty() ? std::string("of this machine") : name) +
                       " cannot be read (" + what +
                       "): give another with --tz ZONE, an IANA name such as Europe/Berlin"};
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
      const std::optional<YearRule> parsed = ParseTzString(rule);
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
}  // namespace lumaflash::platform
