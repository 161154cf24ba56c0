#pragma once

// What the time zone code asks of the operating system; each system's file answers.
#include <filesystem>
#include <optional>
#include <string>

#include "core/platform/time_zone.h"

namespace lumaflash::platform {

// The folder of the IANA zone database (TZDIR, else the system's own), or nothing when the
// system has none.
std::optional<std::filesystem::path> ZoneDatabaseFolder();

// The zone in the TZif file at `path`, called `name`.
Expected<TimeZone, TimeZoneError> ZoneFromFile(const std::filesystem::path& path, std::string name);

}  // namespace lumaflash::platform
