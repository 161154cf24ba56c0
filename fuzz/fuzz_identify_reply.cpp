// Feeds arbitrary identify replies (0 to any number of bytes) to the parser and checks the
// record against a second, deliberately plain reading of the reply layout.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <span>

#include "protocol/identify.h"

namespace {

using lumaflash::protocol::InterfaceRecord;

uint16_t WordAt(std::span<const uint8_t> reply, std::size_t offset, uint16_t preset) {
  if (offset + 1 >= reply.size()) {
    return preset;
  }
  return static_cast<uint16_t>(reply[offset] + 256 * reply[offset + 1]);
}

struct Expected {
  uint16_t infoTag = 0;
  uint16_t blockSize = 512;
  std::size_t serialOffset = 0;
  std::size_t serialLength = 0;
};

// The serial length a reply can back: what it announces, cut to 33 and to the bytes present.
std::size_t Backed(std::span<const uint8_t> reply, std::size_t offset, std::size_t announced) {
  std::size_t present = reply.size() > offset ? reply.size() - offset : 0;
  std::size_t length = announced < 33 ? announced : 33;
  return length < present ? length : present;
}

Expected Expect(std::span<const uint8_t> reply, uint16_t bootloader, uint16_t device) {
  Expected expected;
  if (bootloader == 0x0101) {
    expected.infoTag = WordAt(reply, 6, 0);
    if (expected.infoTag == 0x2118) {
      expected.blockSize = WordAt(reply, 8, 512);
      if (reply.size() > 10) {
        expected.serialOffset = 11;
        expected.serialLength = Backed(reply, 11, reply[10]);
      }
    }
  } else if (device == 0x4801 || device == 0x0481) {
    expected.blockSize = WordAt(reply, 6, 512);
    expected.serialOffset = 8;
    expected.serialLength = Backed(reply, 8, 6);
  } else if (device == 0x0795 || device == 0x3514 || device == 0x3690 || device == 0x3711) {
    expected.blockSize = WordAt(reply, 6, 512);
    if (reply.size() > 8) {
      expected.serialOffset = 9;
      expected.serialLength = Backed(reply, 9, reply[8]);
    }
  }
  return expected;
}

void Check(bool condition) {
  if (!condition) {
    std::abort();
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
  std::span<const uint8_t> reply(data, size);
  // A record that held an earlier device: the parser must not let its fields leak through.
  InterfaceRecord record;
  record.bootloaderVersion = 0x0101;
  record.firmwareVersion = 0xAAAA;
  record.deviceId = 0x3514;
  record.infoTag = 0x2118;
  record.blockSize = 77;
  record.serialLength = 33;
  record.serial.fill(0xEE);

  lumaflash::protocol::ParseIdentifyReply(reply, 42, record);

  Check(record.portNumber == 42);
  if (size < lumaflash::protocol::kMinIdentifyReply) {
    return 0;  // callers never pass such a reply; it must only not crash
  }
  const uint16_t bootloader = WordAt(reply, 0, 0);
  const uint16_t device = WordAt(reply, 4, 0);
  Check(record.bootloaderVersion == bootloader);
  Check(record.firmwareVersion == WordAt(reply, 2, 0));
  Check(record.deviceId == device);
  const Expected expected = Expect(reply, bootloader, device);
  Check(record.infoTag == expected.infoTag);
  Check(record.blockSize == expected.blockSize);
  Check(record.serialLength == expected.serialLength);
  Check(record.serialLength <= lumaflash::protocol::kMaxSerialLength);
  if (expected.serialLength > 0) {
    Check(std::memcmp(record.serial.data(), data + expected.serialOffset, expected.serialLength) ==
          0);
  }
  for (std::size_t i = expected.serialLength; i < record.serial.size(); ++i) {
    Check(record.serial[i] == 0);
  }
  return 0;
}
