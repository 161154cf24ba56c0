#pragma once

#include <chrono>
#include <cstdint>
#include <span>

namespace lumaflash::protocol {

// Where an identify reply keeps the block size and the serial number, after the three words
// every reply starts with. Bootloader 0x0101 announces its own layout and overrides this.
enum class ReplyLayout {
  Basic,           // nothing after the device type
  SixByteSerial,   // block size at 6, six serial bytes at 8
  PrefixedSerial,  // block size at 6, serial length at 8, the serial after it
};

// What the program knows about one device type.
struct DeviceType {
  uint16_t deviceId;
  const char* name;
  std::chrono::milliseconds blockPause;  // how long it needs after acknowledging a block
  ReplyLayout replyLayout;
};

// Every known device type, in catalogue order.
std::span<const DeviceType> DeviceTypes();

// The entry for `deviceId`, or nullptr for a type the program does not know.
const DeviceType* FindDeviceType(uint16_t deviceId);

// The display name, or "Unknown device".
const char* DeviceName(uint16_t deviceId);

// How long a device of this type needs after it acknowledged a block; unknown types get the
// slow, safe 100 ms.
std::chrono::milliseconds BlockPause(uint16_t deviceId);

// The reply layout of this type; unknown types: Basic.
ReplyLayout ReplyLayoutOf(uint16_t deviceId);

}  // namespace lumaflash::protocol
