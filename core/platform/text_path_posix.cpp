#include "core/platform/text_path.h"

// POSIX file names are bytes, and the settings file is read and written as it stands.
namespace lumaflash::platform {

std::filesystem::path PathFromUtf8(std::string_view text) {
  return std::filesystem::path(std::string(text));
}

std::string Utf8FromPath(const std::filesystem::path& path) {
  return path.string();
}

std::vector<std::string> Utf8Arguments(int argc, char** argv) {
  return {argv + (argc > 0 ? 1 : 0), argv + argc};
}

void UseUtf8Console() {}

std::string Utf8FromSettingsText(std::string_view text) {
  return std::string(text);
}

std::string SettingsTextFromUtf8(std::string_view text) {
  return std::string(text);
}

}  // namespace lumaflash::platform
