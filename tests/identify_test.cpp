#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "discovery/catalogue.h"
#include "protocol/identify.h"

namespace lumaflash {
namespace {

using protocol::InterfaceRecord;

struct ParseCase {
  std::string name;
  std::vector<uint8_t> reply;
  uint16_t bootloader;
  uint16_t deviceId;
  uint16_t infoTag;
  uint16_t blockSize;
  std::vector<uint8_t> serial;
};

// 40 serial bytes 0x10, 0x11, ... for the "announced length over 33" cases.
std::vector<uint8_t> Prefixed(std::vector<uint8_t> head, std::size_t serialBytes) {
  for (std::size_t i = 0; i < serialBytes; ++i) {
    head.push_back(static_cast<uint8_t>(0x10 + i));
  }
  return head;
}

std::vector<uint8_t> Counting(std::size_t count) {
  return Prefixed({}, count);
}

TEST(IdentifyReply, LayoutsByBootloaderAndType) {
  const ParseCase cases[] = {
      {"0101 with tag 2118",
       {0x01, 0x01, 0x05, 0x01, 0x14, 0x35, 0x18, 0x21, 0x00, 0x01, 4, 0xAA, 0xBB, 0xCC, 0xDD},
       0x0101,
       0x3514,
       0x2118,
       256,
       {0xAA, 0xBB, 0xCC, 0xDD}},
      {"0101 with another tag",
       {0x01, 0x01, 0x05, 0x01, 0x14, 0x35, 0x34, 0x12, 0x00, 0x01, 4},
       0x0101,
       0x3514,
       0x1234,
       512,
       {}},
      {"0100, 6-byte serial type",
       {0x00, 0x01, 0x05, 0x01, 0x01, 0x48, 0x00, 0x02, 1, 2, 3, 4, 5, 6},
       0x0100,
       0x4801,
       0,
       512,
       {1, 2, 3, 4, 5, 6}},
      {"0100, 6-byte serial type 0481",
       {0x00, 0x01, 0x05, 0x01, 0x81, 0x04, 0x00, 0x01, 9, 8, 7, 6, 5, 4},
       0x0100,
       0x0481,
       0,
       256,
       {9, 8, 7, 6, 5, 4}},
      {"0100, length-prefixed type",
       {0x00, 0x01, 0x05, 0x01, 0x90, 0x36, 0x00, 0x03, 2, 0xA, 0xB},
       0x0100,
       0x3690,
       0,
       768,
       {0xA, 0xB}},
      {"0100, other type",
       {0x00, 0x01, 0x05, 0x01, 0x34, 0x12, 0x00, 0x04, 9, 9, 9, 9},
       0x0100,
       0x1234,
       0,
       512,
       {}},
      {"announced serial over 33 is cut to 33",
       Prefixed({0x00, 0x01, 0x05, 0x01, 0x14, 0x35, 0x00, 0x02, 40}, 40), 0x0100, 0x3514, 0, 512,
       Counting(33)},
      // Fields beyond the bytes that arrived keep their presets; serials are cut to what came.
      {"6 bytes of a length-prefixed type",
       {0x00, 0x01, 0x05, 0x01, 0x14, 0x35},
       0x0100,
       0x3514,
       0,
       512,
       {}},
      {"serial announced longer than the reply",
       {0x00, 0x01, 0x05, 0x01, 0x14, 0x35, 0x00, 0x02, 8, 0xAB, 0xCD},
       0x0100,
       0x3514,
       0,
       512,
       {0xAB, 0xCD}},
      {"6-byte serial cut short",
       {0x00, 0x01, 0x05, 0x01, 0x01, 0x48, 0x00, 0x02, 1, 2, 3},
       0x0100,
       0x4801,
       0,
       512,
       {1, 2, 3}},
      {"0101 tag 2118 without block size",
       {0x01, 0x01, 0x05, 0x01, 0x14, 0x35, 0x18, 0x21, 0x00},
       0x0101,
       0x3514,
       0x2118,
       512,
       {}},
      {"0101 with 7 bytes keeps tag 0",
       {0x01, 0x01, 0x05, 0x01, 0x14, 0x35, 0x18},
       0x0101,
       0x3514,
       0,
       512,
       {}},
  };
  for (const ParseCase& c : cases) {
    SCOPED_TRACE(c.name);
    InterfaceRecord record;
    // Stale values from an earlier reply must not survive a parse.
    record.infoTag = 0x7777;
    record.blockSize = 99;
    record.serialLength = 12;
    record.serial.fill(0xEE);
    protocol::ParseIdentifyReply(c.reply, 7, record);
    EXPECT_EQ(record.bootloaderVersion, c.bootloader);
    EXPECT_EQ(record.firmwareVersion, 0x0105);
    EXPECT_EQ(record.deviceId, c.deviceId);
    EXPECT_EQ(record.infoTag, c.infoTag);
    EXPECT_EQ(record.blockSize, c.blockSize);
    EXPECT_EQ(std::vector<uint8_t>(record.Serial().begin(), record.Serial().end()), c.serial);
    EXPECT_EQ(record.portNumber, 7);
  }
}

TEST(InterfaceList, Texts) {
  EXPECT_EQ(discovery::FormatFirmwareVersion(0x0105), "1.05");
  EXPECT_EQ(discovery::FormatFirmwareVersion(0x1A0C), "1A.0C");
  EXPECT_EQ(discovery::FormatFirmwareVersion(0x0263), "2.63");
  EXPECT_EQ(discovery::FormatFirmwareVersion(0x0164), "");
  EXPECT_EQ(discovery::FormatFirmwareVersion(0x0063), "0.63");
  const std::vector<uint8_t> serial{0x0a, 0x1b, 0xff};
  EXPECT_EQ(discovery::FormatSerial(serial), "0A1BFF");
  EXPECT_EQ(discovery::FormatSerial({}), "Not available");
  EXPECT_EQ(discovery::LookupDeviceName(0x3514), "Lumetta A");
  EXPECT_EQ(discovery::LookupDeviceName(0x0008), "Norrix P2");
  EXPECT_EQ(discovery::LookupDeviceName(0x9999), "Unknown device");
  EXPECT_EQ(discovery::FoundLine(3), "3 Interfaces found");
}

}  // namespace
}  // namespace lumaflash
