// Feeds arbitrary identify replies (0 to any number of bytes) to the parser, over a record that
// held an earlier device: nothing is read past the reply, and nothing of the old record leaks.
#include <cstddef>
#include <cstdint>
#include <cstring>

#include "core/protocol/identify.h"
#include "fuzz/check.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
  lumaflash::protocol::InterfaceRecord record;
  record.bootloaderVersion = 0x0101;
  record.infoTag = 0x2118;
  record.blockSize = 77;
  record.serialLength = 33;
  record.serial.fill(0xEE);
  lumaflash::protocol::ParseIdentifyReply({data, size}, 42, record);
  Check(record.portNumber == 42);
  if (size < lumaflash::protocol::kMinIdentifyReply) {
    return 0;  // callers never pass such a reply; it must only not crash
  }
  const auto word = [&](std::size_t at) { return data[at] + 256 * data[at + 1]; };
  Check(record.bootloaderVersion == word(0) && record.deviceId == word(4));
  Check(record.infoTag == (word(0) == 0x0101 && size >= 8 ? word(6) : 0));
  const bool sizeFromReply =
      (size >= 8 && record.blockSize == word(6)) || (size >= 10 && record.blockSize == word(8));
  Check(record.blockSize == 512 || sizeFromReply);
  // The serial is a run of the reply's own bytes, zeros behind it.
  Check(record.serialLength <= lumaflash::protocol::kMaxSerialLength && record.serialLength < size);
  const void* found = record.serialLength == 0
                          ? data
                          : ::memmem(data, size, record.serial.data(), record.serialLength);
  Check(found != nullptr);
  for (std::size_t i = record.serialLength; i < record.serial.size(); ++i) {
    Check(record.serial[i] == 0);
  }
  return 0;
}
