// The zone database and the local zone of a POSIX system: TZ as the C library reads it, else
// the link /etc/localtime.
#include <cstdlib>
#include <fstream>
#include <system_error>

#include "core/platform/time_zone.h"
#include "core/platform/time_zone_system.h"

namespace lumaflash::platform {

namespace {

// "/usr/share/zoneinfo/Europe/Berlin" names the zone "Europe/Berlin".
std::string NameFromPath(const std::string& path) {
  const std::string marker = "zoneinfo/";
  const std::size_t at = path.rfind(marker);
  return at == std::string::npos ? std::string() : path.substr(at + marker.size());
}

}  // namespace

std::optional<std::filesystem::path> ZoneDatabaseFolder() {
  const char* folder = std::getenv("TZDIR");
  return std::filesystem::path(folder != nullptr && *folder != '\0' ? folder
                                                                    : "/usr/share/zoneinfo");
}

Expected<TimeZone, TimeZoneError> TimeZone::Local() {
  if (const char* tz = std::getenv("TZ"); tz != nullptr) {
    std::string_view value(tz);
    if (value.empty()) {
      return Utc();  // as the C library takes an empty TZ
    }
    if (value.front() == ':') {
      value.remove_prefix(1);
    }
    if (!value.empty() && value.front() == '/') {
      return ZoneFromFile(std::string(value), NameFromPath(std::string(value)));
    }
    auto named = Named(value);
    return named ? named : FromPosixRule(std::string(value), value);
  }
  std::error_code error;
  const std::filesystem::path link = "/etc/localtime";
  if (!std::filesystem::exists(link, error)) {
    return Utc();  // what the C library assumes then
  }
  std::string name = NameFromPath(std::filesystem::read_symlink(link, error).string());
  if (name.empty()) {
    std::ifstream timezone("/etc/timezone");
    std::getline(timezone, name);
  }
  return ZoneFromFile(link, name);
}

}  // namespace lumaflash::platform
