#include "core/protocol/identify.h"

#include <algorithm>
#include <optional>

#include "core/protocol/device_types.h"

namespace lumaflash::protocol {

namespace {

constexpr uint16_t kExtendedBootloader = 0x0101;
constexpr uint16_t kExtendedInfoTag = 0x2118;

// Only what arrived is read: a field past the end of the reply keeps its preset rather than
// picking up bytes of an earlier reply.
std::optional<uint16_t> Word(std::span<const uint8_t> reply, std::size_t offset) {
  if (offset + 2 > reply.size()) {
    return std::nullopt;
  }
  return static_cast<uint16_t>(reply[offset] | (reply[offset + 1] << 8));
}

void SetWord(std::span<const uint8_t> reply, std::size_t offset, uint16_t& field) {
  if (auto value = Word(reply, offset)) {
    field = *value;
  }
}

// Copies up to `announced` serial bytes starting at `offset`, but never more than arrived.
void CopySerial(std::span<const uint8_t> reply, std::size_t offset, std::size_t announced,
                InterfaceRecord& record) {
  std::size_t available = reply.size() > offset ? reply.size() - offset : 0;
  std::size_t length = std::min({announced, kMaxSerialLength, available});
  std::copy_n(reply.begin() + static_cast<std::ptrdiff_t>(std::min(offset, reply.size())), length,
              record.serial.begin());
  record.serialLength = static_cast<uint8_t>(length);
}

void CopyPrefixedSerial(std::span<const uint8_t> reply, std::size_t lengthOffset,
                        InterfaceRecord& record) {
  if (lengthOffset < reply.size()) {
    CopySerial(reply, lengthOffset + 1, reply[lengthOffset], record);
  }
}

}  // namespace

void ParseIdentifyReply(std::span<const uint8_t> reply, int32_t portNumber,
                        InterfaceRecord& record) {
  record.portNumber = portNumber;
  record.infoTag = 0;
  record.blockSize = kDefaultBlockSize;
  record.serialLength = 0;
  record.serial.fill(0);
  SetWord(reply, 0, record.bootloaderVersion);
  SetWord(reply, 2, record.firmwareVersion);
  SetWord(reply, 4, record.deviceId);

  if (record.bootloaderVersion == kExtendedBootloader) {
    SetWord(reply, 6, record.infoTag);
    if (record.infoTag == kExtendedInfoTag) {
      SetWord(reply, 8, record.blockSize);
      CopyPrefixedSerial(reply, 10, record);
    }
    return;
  }
  switch (ReplyLayoutOf(record.deviceId)) {
    case ReplyLayout::SixByteSerial:
      SetWord(reply, 6, record.blockSize);
      CopySerial(reply, 8, 6, record);
      break;
    case ReplyLayout::PrefixedSerial:
      SetWord(reply, 6, record.blockSize);
      CopyPrefixedSerial(reply, 8, record);
      break;
    case ReplyLayout::Basic:
      break;
  }
}

}  // namespace lumaflash::protocol
