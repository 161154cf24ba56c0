#include "sim/demo_devices.h"

#include <array>

namespace lumaflash::sim {

DeviceConfig DeviceOfType(uint16_t deviceId, int unit) {
  DeviceConfig config;
  config.deviceId = deviceId;
  const auto low = static_cast<uint8_t>(unit & 0xFF);
  if (deviceId == 0x4801 || deviceId == 0x0481) {
    config.serial = {0x00, 0x1B, 0x3C, 0x5D, 0x7E, low};
  } else {
    config.serial = {0x0A, 0x1B, 0x2C, low};
  }
  return config;
}

std::vector<DeviceConfig> DemoDevices(int count) {
  // Fast types first, so that a demo update does not crawl at the 100 ms pace of unlisted ones.
  constexpr std::array<uint16_t, 4> kTypes{0x3514, 0x3711, 0x3611, 0x4801};
  std::vector<DeviceConfig> devices;
  for (int i = 0; i < count; ++i) {
    DeviceConfig config = DeviceOfType(kTypes[static_cast<std::size_t>(i) % kTypes.size()], i + 1);
    if (config.deviceId == 0x3611) {
      // Shown with the extended bootloader reply, which carries its block size and serial.
      config.bootloaderVersion = 0x0101;
      config.infoTag = 0x2118;
      config.blockSize = 256;
    }
    config.firmwareVersion = static_cast<uint16_t>(0x0100 + i);
    devices.push_back(config);
  }
  return devices;
}

}  // namespace lumaflash::sim
