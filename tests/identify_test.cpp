// Bytes in, bytes out, with no port: the identify reply, the scan's log and table, the texts of
// the device list, and the simulated device's own reply layouts and pauses, which stand as an
// independent second reading of the protocol.
#include <gtest/gtest.h>

#include <cstdio>
#include <sstream>
#include <string>
#include <vector>

#include "discovery/catalogue.h"
#include "discovery/scan.h"
#include "protocol/identify.h"
#include "sim/device_model.h"

namespace lumaflash {
namespace {

using namespace std::chrono_literals;

// "01 0A ff" -> {0x01, 0x0A, 0xFF}; "12*40" -> 40 bytes counting up from 0x12.
std::vector<uint8_t> Hex(const std::string& text) {
  std::vector<uint8_t> bytes;
  std::istringstream words(text);
  for (std::string word; words >> word;) {
    const auto star = word.find('*');
    const auto first = static_cast<uint8_t>(std::stoul(word.substr(0, star), nullptr, 16));
    const int count = star == std::string::npos ? 1 : std::stoi(word.substr(star + 1));
    for (int i = 0; i < count; ++i) {
      bytes.push_back(static_cast<uint8_t>(first + i));
    }
  }
  return bytes;
}

std::string Describe(const protocol::InterfaceRecord& record) {
  std::array<char, 64> text{};
  std::snprintf(text.data(), text.size(), "%04x %04x %04x %04x bs%u sn", record.bootloaderVersion,
                record.firmwareVersion, record.deviceId, record.infoTag, record.blockSize);
  return text.data() + discovery::SerialHex(record.Serial());
}

TEST(IdentifyReply, LayoutsByBootloaderAndType) {
  const std::vector<std::pair<std::string, std::string>> cases = {
      {"01 01 05 01 14 35 18 21 00 01 04 AA BB CC DD", "0101 0105 3514 2118 bs256 snAABBCCDD"},
      {"01 01 05 01 14 35 34 12 00 01 04", "0101 0105 3514 1234 bs512 sn"},
      {"00 01 05 01 01 48 00 02 01*6", "0100 0105 4801 0000 bs512 sn010203040506"},
      {"00 01 05 01 81 04 00 01 09 08 07 06 05 04", "0100 0105 0481 0000 bs256 sn090807060504"},
      {"00 01 05 01 90 36 00 03 02 0A 0B", "0100 0105 3690 0000 bs768 sn0A0B"},
      {"00 01 05 01 95 07 00 01 01 0C", "0100 0105 0795 0000 bs256 sn0C"},
      {"00 01 05 01 11 37 00 01 01 0D", "0100 0105 3711 0000 bs256 sn0D"},
      {"00 01 05 01 34 12 00 04 09 09 09 09", "0100 0105 1234 0000 bs512 sn"},
      // A serial announced over 33 bytes is cut to 33.
      {"00 01 05 01 14 35 00 02 28 10*40",
       "0100 0105 3514 0000 bs512 sn" + discovery::SerialHex(Hex("10*33"))},
      // Fields past the end of the reply keep their presets; serials are cut to what came.
      {"00 01 05 01 14 35", "0100 0105 3514 0000 bs512 sn"},
      {"00 01 05 01 14 35 00", "0100 0105 3514 0000 bs512 sn"},
      {"00 01 05 01 14 35 00 02 08 AB CD", "0100 0105 3514 0000 bs512 snABCD"},
      {"00 01 05 01 01 48 00 02 01 02 03", "0100 0105 4801 0000 bs512 sn010203"},
      {"01 01 05 01 14 35 18 21 00", "0101 0105 3514 2118 bs512 sn"},
      {"01 01 05 01 14 35 18", "0101 0105 3514 0000 bs512 sn"},
  };
  for (const auto& [reply, expected] : cases) {
    SCOPED_TRACE(reply);
    protocol::InterfaceRecord record;
    // Stale values from an earlier reply must not survive a parse.
    record.infoTag = 0x7777;
    record.blockSize = 99;
    record.serialLength = 12;
    record.serial.fill(0xEE);
    protocol::ParseIdentifyReply(Hex(reply), 7, record);
    EXPECT_EQ(Describe(record), expected);
    EXPECT_EQ(record.portNumber, 7);
  }
}

TEST(IdentifyReply, TextsOfTheDeviceList) {
  const std::vector<std::pair<uint16_t, std::string>> versions = {
      {0x0105, "1.05"}, {0x1A0C, "1A.0C"}, {0x0263, "2.63"}, {0x0164, ""}, {0x0163, "1.63"}};
  for (const auto& [version, text] : versions) {
    EXPECT_EQ(discovery::FormatFirmwareVersion(version), text) << version;
  }
  EXPECT_EQ(discovery::FormatSerial(Hex("0a 1b ff")), "0A1BFF");
  EXPECT_EQ(discovery::FormatSerial({}), "Not available");
  EXPECT_EQ(discovery::LookupDeviceName(0x0008), "Norrix P2");
  EXPECT_EQ(discovery::LookupDeviceName(0x9999), "Unknown device");
}

discovery::Probe Probe(int port, const std::string& reply, serial::PortError error = {}) {
  discovery::Probe probe;
  probe.address = serial::PortAddress{port, "/dev/ttyACM" + std::to_string(port)};
  probe.opened = error == serial::PortError::None;
  probe.failure = serial::PortFailure{error, 0, probe.address.path};
  probe.reply = Hex(reply);
  return probe;
}

TEST(ScanAssembly, LogAndTableFollowPortOrder) {
  const std::vector<discovery::Probe> probes{
      Probe(1, "", serial::PortError::NotFound),
      Probe(2, "", serial::PortError::Busy),
      Probe(3, "00 01 05 01 09 34"),
      Probe(4, ""),
      Probe(5, "00 01 05 01 09"),     // too short: logged, not recorded
      Probe(6, "00 00 05 01 09 34"),  // bootloader 0: logged, hides nothing
      Probe(7, "00 01 05 01 14 35 00 02 01 AB"),
  };
  protocol::InterfaceTable table;
  std::string log;
  discovery::AssembleScan(probes, table, log);
  const std::string record = "   BootloaderVersion: 0100\r\n   FirmwareVersion: 0105\r\n";
  EXPECT_EQ(log, "Find Interface START\r\nOpen /dev/ttyACM2 failed: " +
                     serial::DescribePortFailure(probes[1].failure) +
                     "\r\n"
                     "Open /dev/ttyACM3\r\nReceived 6 bytes: 0x00 0x01 0x05 0x01 0x09 0x34 \r\n" +
                     record +
                     "   Target Device: 3409\r\n"
                     "Open /dev/ttyACM4\r\nReceived 0 bytes: \r\n"
                     "Open /dev/ttyACM5\r\nReceived 5 bytes: 0x00 0x01 0x05 0x01 0x09 \r\n"
                     "Open /dev/ttyACM6\r\nReceived 6 bytes: 0x00 0x00 0x05 0x01 0x09 0x34 \r\n"
                     "   BootloaderVersion: 0000\r\n   FirmwareVersion: 0105\r\n"
                     "   Target Device: 3409\r\n"
                     "Open /dev/ttyACM7\r\n"
                     "Received 10 bytes: 0x00 0x01 0x05 0x01 0x14 0x35 0x00 0x02 0x01 0xab \r\n" +
                     record + "   Target Device: 3514\r\n");
  ASSERT_EQ(table.Count(), 2u);
  EXPECT_EQ(table[0].portPath, "/dev/ttyACM3");
  EXPECT_EQ(table[1].portNumber, 7);
  EXPECT_EQ(table[1].serialLength, 1);

  // At most 99 records; later answers are only logged.
  std::vector<discovery::Probe> many(101, Probe(1, "00 01 05 01 09 34"));
  many.push_back(Probe(102, "5a*1"));
  discovery::AssembleScan(many, table, log);
  EXPECT_EQ(table.Count(), 99u);
  EXPECT_NE(log.find("Received 1 bytes: 0x5a \r\n"), std::string::npos);
}

// The simulated device lays out its replies from its own table, not the host's parser: the
// bytes here are what a real bootloader of each kind sends.
TEST(SimulatedDevice, IdentifyLayoutsOfItsOwn) {
  struct Case {
    uint16_t bootloader;
    uint16_t deviceId;
    uint16_t infoTag;
    std::string serial;
    std::string expected;
  };
  const Case cases[] = {
      {0x0101, 0x1234, 0x2118, "A1 A2", "01 01 03 02 34 12 18 21 00 01 02 A1 A2"},
      {0x0101, 0x1234, 0x1821, "A1", "01 01 03 02 34 12 21 18"},
      {0x0100, 0x4801, 0x2118, "12 34", "00 01 03 02 01 48 00 01 12 34 00 00 00 00"},
      {0x0100, 0x0481, 0x2118, "01*8", "00 01 03 02 81 04 00 01 01*6"},
      {0x0100, 0x3514, 0x2118, "9A BC", "00 01 03 02 14 35 00 01 02 9A BC"},
      {0x0102, 0x3690, 0x2118, "", "02 01 03 02 90 36 00 01 00"},
      {0x0100, 0x3603, 0x2118, "01", "00 01 03 02 03 36"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.expected);
    sim::DeviceConfig config{c.bootloader, 0x0203, c.deviceId, c.infoTag, 256, Hex(c.serial)};
    EXPECT_EQ(sim::EncodeIdentifyReply(config), Hex(c.expected));
  }
}

// The device notes every block that comes before the pause its type needs after the acknowledge
// (after the start packet: 100 ms); this is what catches a host that rushes.
TEST(SimulatedDevice, NotesBlocksThatComeBeforeTheirPause) {
  struct Case {
    uint16_t deviceId;
    std::chrono::microseconds firstGap;  // start packet to block 1
    std::chrono::microseconds laterGap;  // block to block
    std::vector<std::string> expected;
  };
  const auto early = [](int came, int needs) {
    const std::string tail = " came " + std::to_string(came) + " ms after the acknowledge, needs " +
                             std::to_string(needs) + " ms";
    return std::vector<std::string>{"block 2" + tail, "block 3" + tail};
  };
  const Case cases[] = {
      {0x3611, 100ms, 4999us, early(4, 5)},
      {0x3611, 100ms, 5ms, {}},
      {0x3514, 100ms, 9ms, early(9, 10)},
      {0x3514, 100ms, 10ms, {}},
      {0x0008, 100ms, 19ms, early(19, 20)},
      {0x0008, 100ms, 20ms, {}},
      {0x1234, 100ms, 99ms, early(99, 100)},
      {0x1234, 100ms, 100ms, {}},
      {0x3611, 99ms, 5ms, {"block 1 came 99 ms after the acknowledge, needs 100 ms"}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::to_string(c.deviceId) + " " + std::to_string(c.laterGap.count()));
    sim::DeviceConfig config;
    config.deviceId = c.deviceId;
    config.blockSize = 4;
    sim::DeviceModel model(config);
    sim::Clock::time_point now{};
    model.Receive(Hex("B1 00 01 0C"), now);
    now += c.firstGap;
    for (int i = 0; i < 3; ++i) {
      model.Receive(Hex("B1 00 04 10*4"), now);
      now += c.laterGap;
    }
    EXPECT_EQ(model.BlockCount(), 3);
    EXPECT_EQ(model.TimingViolations(), c.expected);
  }
}

}  // namespace
}  // namespace lumaflash
