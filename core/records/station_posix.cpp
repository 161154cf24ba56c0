#include <pwd.h>
#include <unistd.h>

#include <array>
#include <cstdlib>

#include "core/records/station.h"

namespace lumaflash::records {

std::string HostName() {
  std::array<char, 256> name{};
  if (gethostname(name.data(), name.size() - 1) != 0 || name[0] == '\0') {
    return "unknown";
  }
  return name.data();
}

std::string OperatorName() {
  // The real user id: the user who runs the program, whatever LOGNAME or USER claim.
  if (const passwd* entry = getpwuid(getuid()); entry != nullptr && entry->pw_name != nullptr) {
    return entry->pw_name;
  }
  return "uid " + std::to_string(getuid());
}

std::filesystem::path DefaultStorePath() {
  std::filesystem::path base;
  if (const char* state = std::getenv("XDG_STATE_HOME"); state != nullptr && state[0] == '/') {
    base = state;
  } else if (const char* home = std::getenv("HOME"); home != nullptr && home[0] != '\0') {
    base = std::filesystem::path(home) / ".local" / "state";
  } else {
    return {};
  }
  return base / "lumaflash" / "records.sqlite";
}

std::optional<std::string> EnvironmentText(const char* name) {
  const char* value = std::getenv(name);
  if (value == nullptr) {
    return std::nullopt;
  }
  return std::string(value);
}

}  // namespace lumaflash::records
