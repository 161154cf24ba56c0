#pragma once

#include <vector>

#include "sim/device_model.h"

namespace lumaflash::sim {

// `count` devices of a mix of catalogue types and reply layouts, each with its own serial
// number, for demonstrations and benchmarks.
std::vector<DeviceConfig> DemoDevices(int count);

// A device of `deviceId` with the reply layout and serial that type uses; `unit` makes the
// serial number unique.
DeviceConfig DeviceOfType(uint16_t deviceId, int unit);

}  // namespace lumaflash::sim
