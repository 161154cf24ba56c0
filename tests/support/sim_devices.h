#pragma once

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "sim/pty_host.h"

namespace lumaflash::testing {

// Starts a simulated device on a pseudo-terminal or fails the test.
inline std::unique_ptr<sim::PtyDevice> StartDevice(sim::DeviceConfig config,
                                                   std::vector<sim::FaultPlan> faults = {}) {
  std::string error;
  auto device = sim::PtyDevice::Start(std::move(config), std::move(faults), error);
  EXPECT_NE(device, nullptr) << error;
  return device;
}

inline sim::DeviceConfig Device(uint16_t deviceId, uint16_t blockSize = 512) {
  sim::DeviceConfig config;
  config.deviceId = deviceId;
  config.blockSize = blockSize;
  return config;
}

}  // namespace lumaflash::testing
