// Identify replies, bytes in and fields out with no port: each reply layout by bootloader and
// type, serials cut to what came, and fields past the reply's end left at their presets.
#include <gtest/gtest.h>

#include <array>
#include <cstdio>
#include <string>
#include <vector>

#include "core/discovery/catalogue.h"
#include "core/protocol/identify.h"
#include "tests/support/hex_bytes.h"

namespace lumaflash {
namespace {

using testing::Hex;

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

}  // namespace
}  // namespace lumaflash
