#include <windows.h>

#include <array>
#include <vector>

#include "core/platform/text_path.h"
#include "core/records/station.h"

namespace lumaflash::records {

namespace {

std::string Utf8FromWide(const std::wstring& text) {
  return platform::Utf8FromPath(std::filesystem::path(text));
}

}  // namespace

std::string HostName() {
  std::array<wchar_t, MAX_COMPUTERNAME_LENGTH + 1> name{};
  DWORD size = static_cast<DWORD>(name.size());
  if (!GetComputerNameW(name.data(), &size) || size == 0) {
    return "unknown";
  }
  return Utf8FromWide(std::wstring(name.data(), size));
}

std::string OperatorName() {
  std::array<wchar_t, 257> name{};  // UNLEN + 1
  DWORD size = static_cast<DWORD>(name.size());
  if (!GetUserNameW(name.data(), &size) || size <= 1) {
    return "unknown";
  }
  return Utf8FromWide(std::wstring(name.data(), size - 1));  // size counts the NUL
}

std::optional<std::string> EnvironmentText(const char* name) {
  const std::wstring wideName = platform::PathFromUtf8(name).wstring();
  const DWORD needed = GetEnvironmentVariableW(wideName.c_str(), nullptr, 0);
  if (needed == 0) {
    return std::nullopt;
  }
  std::vector<wchar_t> value(needed);
  const DWORD length = GetEnvironmentVariableW(wideName.c_str(), value.data(), needed);
  return Utf8FromWide(std::wstring(value.data(), length));
}

std::filesystem::path DefaultStorePath() {
  const std::optional<std::string> local = EnvironmentText("LOCALAPPDATA");
  if (!local || local->empty()) {
    return {};
  }
  return platform::PathFromUtf8(*local) / "Lumaflash" / "records.sqlite";
}

}  // namespace lumaflash::records
