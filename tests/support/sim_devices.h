#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <memory>
#include <ostream>
#include <string>
#include <vector>

#include "core/protocol/programming.h"
#include "sim/pty_host.h"
#include "tests/support/wait_for.h"

namespace lumaflash::testing {

// Starts a simulated device on a pseudo-terminal or fails the test.
inline std::unique_ptr<sim::PtyDevice> StartDevice(sim::DeviceConfig config,
                                                   std::vector<sim::FaultPlan> faults = {}) {
  auto device = sim::PtyDevice::Start(std::move(config), std::move(faults));
  EXPECT_TRUE(device) << sim::Describe(device.error());
  return device ? std::move(*device) : nullptr;
}

inline sim::DeviceConfig Device(uint16_t deviceId, uint16_t blockSize = 512) {
  sim::DeviceConfig config;
  config.deviceId = deviceId;
  config.blockSize = blockSize;
  return config;
}

// Small blocks and a serial number of its own, which bootloader 0101 reports for every type.
inline sim::DeviceConfig Unit(uint8_t serial, uint16_t deviceId = 0x3611, bool stay = false) {
  sim::DeviceConfig config = Device(deviceId, 64);
  config.bootloaderVersion = 0x0101;
  config.serial = {0xab, 0x00, serial};
  config.stayInBootloader = stay;
  return config;
}

// The device took exactly `payload`, its last block padded with zeros, on time, and was started.
inline bool ReceivedExactly(const sim::PtyDevice& device, std::vector<uint8_t> payload) {
  const sim::DeviceModel got = device.Snapshot();
  const std::size_t blockSize = got.Config().blockSize;
  payload.resize((payload.size() + blockSize - 1) / blockSize * blockSize, 0);
  return got.RunReceived() && got.Image() == payload && got.TimingViolations().empty() &&
         got.ProtocolViolations().empty();
}

// How many start packets the device has had.
inline long StartPackets(const sim::DeviceModel& got) {
  return std::ranges::count_if(got.Packets(), [](const auto& packet) {
    return packet.size() == 4 && packet[0] == protocol::kProgram;
  });
}

inline bool Has(const std::string& text, const std::string& part) {
  return text.find(part) != std::string::npos;
}

// A parameter table's row prints as its name in ctest's listing and in failures, not as the
// bytes of its object. A test file takes it with `using testing::PrintTo;`.
template <typename Row>
requires requires(const Row& row) {
  row.name;
}
void PrintTo(const Row& row, std::ostream* out) {
  *out << row.name;
}

}  // namespace lumaflash::testing
