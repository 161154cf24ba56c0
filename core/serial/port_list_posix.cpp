#include <algorithm>
#include <filesystem>
#include <system_error>

#include "serial/port.h"

namespace lumaflash::serial {

std::vector<PortAddress> SystemPorts() {
  // Only ttys with a device behind them are serial ports; virtual consoles and
  // pseudo-terminals have none.
  std::vector<std::string> names;
  std::error_code error;
  for (const auto& entry : std::filesystem::directory_iterator("/sys/class/tty", error)) {
    if (std::filesystem::exists(entry.path() / "device", error)) {
      names.push_back(entry.path().filename().string());
    }
  }
  std::sort(names.begin(), names.end(), NaturalLess);
  std::vector<std::string> paths;
  paths.reserve(names.size());
  for (const std::string& name : names) {
    paths.push_back("/dev/" + name);
  }
  return NamedPorts(paths);
}

}  // namespace lumaflash::serial
