#pragma once

#include <cstdint>
#include <filesystem>
#include <string>
#include <string_view>

#include "core/settings/ini_file.h"

namespace lumaflash::settings {

// A calendar date as the operator's clock shows it.
struct LocalDate {
  int day;
  int month;
  int year;

  bool operator==(const LocalDate&) const = default;
};

// Today's date in the local time zone, from the system clock.
LocalDate TodayLocal();

// The settings section of a device type: four lower-case hex digits (0x3514 gives "3514").
std::string DeviceSection(uint16_t deviceId);

// The stamp of an update: device type, day, month, year with nothing between them
// (0x3514 on 5 December 2026 gives "351405122026"). Equal stamps mean same type, same day.
std::string FormatUpdateStamp(uint16_t deviceId, const LocalDate& date);

// Where the settings file lives when the program runs in `directory`.
std::filesystem::path SettingsPathIn(const std::filesystem::path& directory);

// The entries the program keeps: per device type the last image and whether to use it again,
// and the stamp of the last successful update. A missing file or entry reads as the fallback;
// a read fails only when the file cannot be read, a write when the file could not be saved.
class AppSettings {
 public:
  explicit AppSettings(std::filesystem::path file);

  const std::filesystem::path& Path() const { return m_file.Path(); }

  // The image last chosen for this device type, or `fallback`.
  Expected<std::string, SettingsError> ReadLastOpen(uint16_t deviceId,
                                                    std::string_view fallback) const;
  Expected<void, SettingsError> WriteLastOpen(uint16_t deviceId, std::string_view path);

  // The stored "use last again" text as it is ("" when missing); see IsOn.
  Expected<std::string, SettingsError> ReadUseLastAgain(uint16_t deviceId) const;
  // True exactly when `value` begins with '1', so "10" counts as on and "yes" as off.
  static bool IsOn(std::string_view value);
  Expected<void, SettingsError> WriteUseLastAgain(uint16_t deviceId, bool on);

  // The stamp of the last successful update, "" when there is none.
  Expected<std::string, SettingsError> ReadLastDevice() const;
  Expected<void, SettingsError> WriteUpdateStamp(uint16_t deviceId, const LocalDate& date);

 private:
  IniFile m_file;
};

}  // namespace lumaflash::settings
