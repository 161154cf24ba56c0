#include <gtest/gtest.h>

#include <array>
#include <chrono>
#include <thread>

#include "serial/port.h"
#include "sim/device_model.h"
#include "support/raw_pty.h"
#include "support/sim_devices.h"
#include "support/temp_dir.h"

namespace lumaflash {
namespace {

using serial::PortAddress;
using serial::PortError;
using serial::PortLink;
using std::chrono::milliseconds;
using Clock = std::chrono::steady_clock;

PortAddress At(const std::string& path) {
  return PortAddress{1, path};
}

milliseconds Since(Clock::time_point start) {
  return std::chrono::duration_cast<milliseconds>(Clock::now() - start);
}

TEST(SerialLink, SilentDeviceEndsTheExchangeAtTheTimeout) {
  testing::RawPty pty;
  PortLink link;
  ASSERT_TRUE(link.OpenPort(At(pty.Path())));
  std::array<uint8_t, 1000> rx{};
  uint32_t rxLength = 99;
  const std::array<uint8_t, 1> identify{0xB0};
  auto start = Clock::now();
  EXPECT_TRUE(link.Exchange(identify, rx, rxLength, 50));
  EXPECT_EQ(rxLength, 0u);
  EXPECT_GE(Since(start), milliseconds(50));
  EXPECT_LT(Since(start), milliseconds(2000));
  EXPECT_EQ(pty.Received(), std::vector<uint8_t>{0xB0});
}

TEST(SerialLink, TimeoutZeroStillLooksOnce) {
  testing::RawPty pty;
  PortLink link;
  ASSERT_TRUE(link.OpenPort(At(pty.Path())));
  std::array<uint8_t, 4> rx{};
  uint32_t rxLength = 0;
  auto start = Clock::now();
  EXPECT_TRUE(link.Exchange(std::array<uint8_t, 1>{0xB7}, rx, rxLength, 0));
  EXPECT_EQ(rxLength, 0u);
  EXPECT_GE(Since(start), milliseconds(1));
}

TEST(SerialLink, ExchangeWithoutOpenPortFails) {
  PortLink link;
  std::array<uint8_t, 1> rx{};
  uint32_t rxLength = 7;
  EXPECT_FALSE(link.Exchange(std::array<uint8_t, 1>{0xB0}, rx, rxLength, 50));
  EXPECT_EQ(rxLength, 0u);
}

TEST(SerialLink, SecondByteOfAReplyIsGoneAtTheNextExchange) {
  auto device = testing::StartDevice(testing::Device(0x3514),
                                     {{sim::Fault::DoubleAck, sim::PacketKind::Start, 0}});
  PortLink link;
  ASSERT_TRUE(link.OpenPort(At(device->Path())));
  std::array<uint8_t, 1000> rx{};
  uint32_t rxLength = 0;
  ASSERT_TRUE(link.Exchange(std::array<uint8_t, 4>{0xB1, 0x00, 0x01, 0x10}, std::span(rx).first(1),
                            rxLength, 50));
  ASSERT_EQ(rxLength, 1u);
  EXPECT_EQ(rx[0], 0xB9);
  std::this_thread::sleep_for(milliseconds(20));  // let the second acknowledge arrive late
  // A packet the device answers with its identify reply: the stale 0xB9 must not come first.
  ASSERT_TRUE(link.Exchange(std::array<uint8_t, 1>{0xB0}, rx, rxLength, 50));
  const auto expected = sim::EncodeIdentifyReply(device->Snapshot().Config());
  ASSERT_EQ(rxLength, expected.size());
  EXPECT_TRUE(std::equal(expected.begin(), expected.end(), rx.begin()));
}

TEST(SerialLink, OverlongReplyIsCutToWhatTheCallerAndTheReceiveBufferHold) {
  auto device = testing::StartDevice(testing::Device(0x3514),
                                     {{sim::Fault::Overlong, sim::PacketKind::Identify, -1}});
  PortLink link;
  ASSERT_TRUE(link.OpenPort(At(device->Path())));
  // A marker the device never sends, so bytes written past the limits show up.
  constexpr uint8_t kUntouched = 0xEE;
  std::array<uint8_t, 2000> rx{};
  rx.fill(kUntouched);
  uint32_t rxLength = 0;
  ASSERT_TRUE(link.Exchange(std::array<uint8_t, 1>{0xB0}, std::span(rx).first(1000), rxLength, 50));
  EXPECT_EQ(rxLength, 1000u);
  EXPECT_EQ(rx[1000], kUntouched) << "nothing is written past what the caller asked for";
  ASSERT_TRUE(link.Exchange(std::array<uint8_t, 1>{0xB0}, rx, rxLength, 50));
  EXPECT_EQ(rxLength, serial::kReceiveBufferSize);
  EXPECT_EQ(rx[serial::kReceiveBufferSize - 1], 0x00) << "the reply's padding arrived";
  EXPECT_EQ(rx[serial::kReceiveBufferSize], kUntouched)
      << "nothing is written past the receive buffer's size";
}

TEST(SerialLink, VanishingDeviceEndsTheExchangeWithoutHanging) {
  auto device = testing::StartDevice(testing::Device(0x3514),
                                     {{sim::Fault::Vanish, sim::PacketKind::Identify, 0}});
  PortLink link;
  ASSERT_TRUE(link.OpenPort(At(device->Path())));
  std::array<uint8_t, 1000> rx{};
  uint32_t rxLength = 0;
  auto start = Clock::now();
  EXPECT_TRUE(link.Exchange(std::array<uint8_t, 1>{0xB0}, rx, rxLength, 2000));
  EXPECT_EQ(rxLength, 0u);
  EXPECT_LT(Since(start), milliseconds(1500)) << "a hung-up port must not be waited out";
  EXPECT_EQ(link.LastFailure().error, PortError::Vanished);
  // Talking to the dead port again neither hangs nor crashes.
  EXPECT_TRUE(link.Exchange(std::array<uint8_t, 1>{0xB0}, rx, rxLength, 2000));
  EXPECT_EQ(rxLength, 0u);
  link.ClosePort();
  EXPECT_FALSE(link.IsOpen());
}

TEST(SerialLink, PortHeldByOneLinkIsBusyForAnother) {
  testing::RawPty pty;
  PortLink first;
  PortLink second;
  ASSERT_TRUE(first.OpenPort(At(pty.Path())));
  EXPECT_FALSE(second.OpenPort(At(pty.Path())));
  EXPECT_FALSE(second.IsOpen());
  EXPECT_EQ(second.LastFailure().error, PortError::Busy);
  EXPECT_NE(serial::DescribePortFailure(second.LastFailure()).find("busy"), std::string::npos);
  first.ClosePort();
  EXPECT_TRUE(second.OpenPort(At(pty.Path())));
}

TEST(SerialLink, OpenFailuresAreToldApart) {
  testing::TempDir dir;
  const auto plainFile = dir.Write("not-a-tty", std::vector<uint8_t>{1, 2, 3});
  struct Case {
    std::string path;
    PortError expected;
  };
  const Case cases[] = {
      {(dir / "missing").string(), PortError::NotFound},
      {plainFile.string(), PortError::Unusable},
  };
  for (const Case& c : cases) {
    PortLink link;
    EXPECT_FALSE(link.OpenPort(At(c.path))) << c.path;
    EXPECT_FALSE(link.IsOpen());
    EXPECT_EQ(link.LastFailure().error, c.expected) << c.path;
    EXPECT_EQ(link.LastFailure().path, c.path);
  }
}

TEST(SerialLink, PortsAreWalkedInNaturalOrder) {
  struct Case {
    const char* a;
    const char* b;
    bool less;
  };
  const Case cases[] = {
      {"ttyACM2", "ttyACM10", true}, {"ttyACM10", "ttyACM2", false}, {"ttyACM0", "ttyUSB0", true},
      {"ttyS9", "ttyS10", true},     {"ttyS1", "ttyS1", false},      {"ttyS01", "ttyS2", true},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(serial::NaturalLess(c.a, c.b), c.less) << c.a << " < " << c.b;
  }
  auto named = serial::NamedPorts({"/dev/b", "/dev/a"});
  ASSERT_EQ(named.size(), 2u);
  EXPECT_EQ(named[0].portNumber, 1);
  EXPECT_EQ(named[1].path, "/dev/a");
  EXPECT_EQ(named[1].portNumber, 2);
}

}  // namespace
}  // namespace lumaflash
