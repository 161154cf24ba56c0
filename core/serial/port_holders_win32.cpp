#include "core/serial/port_holders.h"

namespace lumaflash::serial {

// Windows opens a COM port exclusively: a port that another program holds fails to open with
// "busy", which already names the problem. There is nothing to look for beforehand.
std::vector<std::vector<PortHolder>> FindPortHoldersOf(const std::vector<std::string>& paths) {
  return std::vector<std::vector<PortHolder>>(paths.size());
}

}  // namespace lumaflash::serial
