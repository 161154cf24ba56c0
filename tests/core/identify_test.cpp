// Bytes in, bytes out, with no port: identify replies, the scan's log and table, and the simulated
// device's own reply layouts and pauses, an independent second reading of the protocol.
#include <gtest/gtest.h>

#include <cstdio>
#include <sstream>
#include <string>
#include <vector>

#include "core/discovery/catalogue.h"
#include "core/discovery/scan.h"
#include "core/protocol/identify.h"
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
  std::snprintf(text.data(), text.size(), "%04x %04x=%s %04x %04x bs%u sn",
                record.bootloaderVersion, record.firmwareVersion,
                discovery::FormatFirmwareVersion(record.firmwareVersion).c_str(), record.deviceId,
                record.infoTag, record.blockSize);
  return text.data() + discovery::SerialHex(record.Serial());
}

TEST(IdentifyReply, LayoutsByBootloaderAndType) {
  const std::vector<std::pair<std::string, std::string>> cases = {
      {"01 01 05 01 14 35 18 21 00 01 04 AA BB CC DD", "0101 0105=1.05 3514 2118 bs256 snAABBCCDD"},
      {"01 01 05 01 14 35 18", "0101 0105=1.05 3514 0000 bs512 sn"},
      {"01 01 05 01 14 35 34 12 00 01 04", "0101 0105=1.05 3514 1234 bs512 sn"},
      {"00 01 05 01 01 48 00 02 01*6", "0100 0105=1.05 4801 0000 bs512 sn010203040506"},
      {"00 01 05 01 81 04 00 01 09 08 07 06 05 04",
       "0100 0105=1.05 0481 0000 bs256 sn090807060504"},
      {"00 01 0C 1A 90 36 00 03 02 0A 0B", "0100 1a0c=1A.0C 3690 0000 bs768 sn0A0B"},
      {"00 01 63 02 95 07 00 01 01 0C", "0100 0263=2.63 0795 0000 bs256 sn0C"},
      {"00 01 64 01 11 37 00 01 01 0D", "0100 0164= 3711 0000 bs256 sn0D"},
      {"00 01 63 01 34 12 00 04 09 09 09 09", "0100 0163=1.63 1234 0000 bs512 sn"},
      // A serial announced over 33 bytes is cut to 33.
      {"00 01 05 01 14 35 00 02 28 10*40",
       "0100 0105=1.05 3514 0000 bs512 sn" + discovery::SerialHex(Hex("10*33"))},
      // Fields past the end of the reply keep their presets; serials are cut to what came.
      {"00 01 05 01 14 35", "0100 0105=1.05 3514 0000 bs512 sn"},
      {"00 01 05 01 14 35 00", "0100 0105=1.05 3514 0000 bs512 sn"},
      {"00 01 05 01 14 35 00 02 08 AB CD", "0100 0105=1.05 3514 0000 bs512 snABCD"},
      {"00 01 05 01 01 48 00 02 01 02 03", "0100 0105=1.05 4801 0000 bs512 sn010203"},
      {"01 01 05 01 14 35 18 21 00", "0101 0105=1.05 3514 2118 bs512 sn"},
  };
  protocol::InterfaceRecord record;  // one for all: no value of an earlier reply may survive
  for (const auto& [reply, expected] : cases) {
    protocol::ParseIdentifyReply(Hex(reply), 7, record);
    EXPECT_TRUE(Describe(record) == expected && record.portNumber == 7)
        << reply << " -> " << Describe(record);
  }
}

discovery::Probe Probe(int port, const std::string& reply, serial::PortError error = {}) {
  const std::string path = "/dev/ttyACM" + std::to_string(port);
  return {{port, path}, error == serial::PortError::None, {error, 0, path}, Hex(reply)};
}

TEST(ScanAssembly, LogAndTableFollowPortOrder) {
  // Port 5's reply is too short: logged, not recorded; port 6's bootloader 0: logged, hides none.
  // clang-format off
  const std::vector<discovery::Probe> probes{
      Probe(1, "", serial::PortError::NotFound), Probe(2, "", serial::PortError::Busy),
      Probe(3, "00 01 05 01 09 34"), Probe(4, ""), Probe(5, "00 01 05 01 09"),
      Probe(6, "00 00 05 01 09 34"), Probe(7, "00 01 05 01 14 35 00 02 01 AB")};
  protocol::InterfaceTable table;
  std::string log;
  discovery::AssembleScan(probes, table, log);
  const std::string record = "   BootloaderVersion: 0100\r\n   FirmwareVersion: 0105\r\n";
  EXPECT_EQ(log, "Find Interface START\r\nOpen /dev/ttyACM2 failed: " +
                 serial::DescribePortFailure(probes[1].failure) + "\r\n"
                 "Open /dev/ttyACM3\r\nReceived 6 bytes: 0x00 0x01 0x05 0x01 0x09 0x34 \r\n" + record +
                 "   Target Device: 3409\r\nOpen /dev/ttyACM4\r\nReceived 0 bytes: \r\n"
                 "Open /dev/ttyACM5\r\nReceived 5 bytes: 0x00 0x01 0x05 0x01 0x09 \r\n"
                 "Open /dev/ttyACM6\r\nReceived 6 bytes: 0x00 0x00 0x05 0x01 0x09 0x34 \r\n"
                 "   BootloaderVersion: 0000\r\n   FirmwareVersion: 0105\r\n   Target Device: 3409\r\n"
                 "Open /dev/ttyACM7\r\n"
                 "Received 10 bytes: 0x00 0x01 0x05 0x01 0x14 0x35 0x00 0x02 0x01 0xab \r\n" + record +
                 "   Target Device: 3514\r\n");
  // clang-format on
  EXPECT_TRUE(table[0].portPath == "/dev/ttyACM3" && table[1].portNumber == 7 &&
              table[1].serialLength == 1);

  // At most 99 records; later answers are only logged.
  std::vector<discovery::Probe> many(101, Probe(1, "00 01 05 01 09 34"));
  many.push_back(Probe(102, "5a*1"));
  discovery::AssembleScan(many, table, log);
  EXPECT_TRUE(table.Count() == 99 && log.ends_with("Received 1 bytes: 0x5a \r\n")) << log;
}

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
