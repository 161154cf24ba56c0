#include "core/settings/settings.h"

#include <array>
#include <chrono>
#include <cstdio>
#include <utility>

#include "core/platform/local_time.h"
#include "core/platform/text_path.h"

namespace lumaflash::settings {
namespace {

constexpr std::string_view kSettingsFileName = "Lumaflash.ini";
constexpr std::string_view kAppSection = "APP";
constexpr std::string_view kLastDeviceKey = "LAST_DEVICE";
constexpr std::string_view kLastOpenKey = "LAST_OPEN";
constexpr std::string_view kUseLastAgainKey = "USE_LAST_AGAIN";

}  // namespace

LocalDate TodayLocal() {
  const auto now = platform::ToLocalTime(std::chrono::system_clock::now());
  return now ? LocalDate{now->day, now->month, now->year} : LocalDate{};
}

std::string DeviceSection(uint16_t deviceId) {
  std::array<char, 8> text{};
  std::snprintf(text.data(), text.size(), "%.4x", static_cast<unsigned>(deviceId));
  return text.data();
}

// Out-of-range date fields are printed as they are (wider than two digits), never cut, so two
// different dates cannot produce the same stamp.
std::string FormatUpdateStamp(uint16_t deviceId, const LocalDate& date) {
  std::array<char, 48> text{};
  std::snprintf(text.data(), text.size(), "%.4x%.2d%.2d%.4d", static_cast<unsigned>(deviceId),
                date.day, date.month, date.year);
  return text.data();
}

std::filesystem::path SettingsPathIn(const std::filesystem::path& directory) {
  return directory / kSettingsFileName;
}

AppSettings::AppSettings(std::filesystem::path file) : m_file(std::move(file)) {}

Expected<std::string, SettingsError> AppSettings::ReadLastOpen(uint16_t deviceId,
                                                               std::string_view fallback) const {
  auto value = m_file.Read(DeviceSection(deviceId), kLastOpenKey, fallback);
  if (!value) {
    return value;
  }
  // Paths are kept in the system code page where it can hold them, as other tools expect.
  return platform::Utf8FromSettingsText(*value);
}

Expected<void, SettingsError> AppSettings::WriteLastOpen(uint16_t deviceId, std::string_view path) {
  return m_file.Write(DeviceSection(deviceId), kLastOpenKey, platform::SettingsTextFromUtf8(path));
}

Expected<std::string, SettingsError> AppSettings::ReadUseLastAgain(uint16_t deviceId) const {
  return m_file.Read(DeviceSection(deviceId), kUseLastAgainKey, "");
}

bool AppSettings::IsOn(std::string_view value) {
  return !value.empty() && value.front() == '1';
}

Expected<void, SettingsError> AppSettings::WriteUseLastAgain(uint16_t deviceId, bool on) {
  return m_file.Write(DeviceSection(deviceId), kUseLastAgainKey, on ? "1" : "0");
}

Expected<std::string, SettingsError> AppSettings::ReadLastDevice() const {
  return m_file.Read(kAppSection, kLastDeviceKey, "");
}

Expected<void, SettingsError> AppSettings::WriteUpdateStamp(uint16_t deviceId,
                                                            const LocalDate& date) {
  return m_file.Write(kAppSection, kLastDeviceKey, FormatUpdateStamp(deviceId, date));
}

}  // namespace lumaflash::settings
