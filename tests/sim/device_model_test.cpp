// The simulated device's own reading of the protocol, bytes in and bytes out with no port: its
// identify replies and the pauses it demands, an independent second reading, never the host's.
#include "sim/device_model.h"

#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <vector>

#include "tests/support/hex_bytes.h"

namespace lumaflash {
namespace {

using namespace std::chrono_literals;
using testing::Hex;

// The simulated device lays out its replies from its own table, not the host's parser: the
// bytes here are what a real bootloader of each kind sends.
TEST(SimulatedDevice, IdentifyLayoutsOfItsOwn) {
  // clang-format off
  struct Case { uint16_t bootloader, deviceId, infoTag; std::string serial, expected; };
  const Case cases[] = {
      {0x0101, 0x1234, 0x2118, "A1 A2", "01 01 03 02 34 12 18 21 00 01 02 A1 A2"},
      {0x0101, 0x1234, 0x1821, "A1", "01 01 03 02 34 12 21 18"},
      {0x0100, 0x4801, 0x2118, "12 34", "00 01 03 02 01 48 00 01 12 34 00 00 00 00"},
      {0x0100, 0x0481, 0x2118, "01*8", "00 01 03 02 81 04 00 01 01*6"},
      {0x0100, 0x3514, 0x2118, "9A BC", "00 01 03 02 14 35 00 01 02 9A BC"},
      {0x0102, 0x3690, 0x2118, "", "02 01 03 02 90 36 00 01 00"},
      {0x0100, 0x3603, 0x2118, "01", "00 01 03 02 03 36"},
  };  // clang-format on
  for (const Case& c : cases) {
    EXPECT_EQ(
        sim::EncodeIdentifyReply({c.bootloader, 0x0203, c.deviceId, c.infoTag, 256, Hex(c.serial)}),
        Hex(c.expected));
  }
}

// The device notes every block that comes before the pause its type needs after the acknowledge
// (after the start packet: 100 ms); this is what catches a host that rushes.
TEST(SimulatedDevice, NotesBlocksThatComeBeforeTheirPause) {
  using Notes = std::vector<std::string>;
  const auto run = [](uint16_t deviceId, std::chrono::microseconds firstGap,
                      std::chrono::microseconds laterGap) {
    sim::DeviceModel model(sim::DeviceConfig{0x0100, 0x0105, deviceId, 0, 4, {}});
    sim::Clock::time_point now{};
    model.Receive(Hex("B1 00 01 0C"), now);
    for (int i = 0; i < 3; ++i) {
      now += i == 0 ? firstGap : laterGap;
      model.Receive(Hex("B1 00 04 10*4"), now);
    }
    return model.BlockCount() == 3 ? model.TimingViolations() : Notes{"a block was lost"};
  };
  for (const auto& [deviceId, needs] : std::vector<std::pair<uint16_t, int>>{
           {0x3611, 5}, {0x3514, 10}, {0x0008, 20}, {0x1234, 100}}) {
    const std::string tail = " came " + std::to_string(needs - 1) +
                             " ms after the acknowledge, needs " + std::to_string(needs) + " ms";
    EXPECT_EQ(run(deviceId, 100ms, std::chrono::milliseconds(needs) - 1us),
              (Notes{"block 2" + tail, "block 3" + tail}));
    EXPECT_EQ(run(deviceId, 100ms, std::chrono::milliseconds(needs)), Notes{}) << deviceId;
  }
  EXPECT_EQ(run(0x3611, 99ms, 5ms),
            Notes{"block 1 came 99 ms after the acknowledge, needs 100 ms"});
}

}  // namespace
}  // namespace lumaflash
