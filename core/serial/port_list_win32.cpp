#include <string>

#include "serial/port.h"

namespace lumaflash::serial {

namespace {

constexpr int kHighestComPort = 256;

}  // namespace

// Windows numbers its serial ports; the scan walks every number and lets OpenPort find out
// which exist, so a port that appears between two scans is never missed.
std::vector<PortAddress> SystemPorts() {
  std::vector<PortAddress> ports;
  ports.reserve(kHighestComPort);
  for (int number = 1; number <= kHighestComPort; ++number) {
    ports.push_back(PortAddress{number, "COM" + std::to_string(number)});
  }
  return ports;
}

}  // namespace lumaflash::serial
