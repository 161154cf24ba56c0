#pragma once

#include <cstdint>
#include <span>

#include "core/protocol/interface_table.h"

namespace lumaflash::protocol {

inline constexpr uint8_t kIdentify = 0xB0;
inline constexpr uint32_t kIdentifyReplyMax = 1000;
inline constexpr int32_t kIdentifyTimeoutMs = 50;
// Shorter replies identify nothing.
inline constexpr std::size_t kMinIdentifyReply = 6;

// Fills `record` from an identify reply of at least kMinIdentifyReply bytes. Fields that lie
// beyond the bytes of `reply` keep their presets, and a serial number is cut to the bytes that
// actually arrived.
void ParseIdentifyReply(std::span<const uint8_t> reply, int32_t portNumber,
                        InterfaceRecord& record);

}  // namespace lumaflash::protocol
