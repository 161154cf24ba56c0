#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <vector>

namespace lumaflash::sim {

// The bytes of a firmware image file: header (13 bytes, or 16 from header version 2 on) and
// payload. `announcedLength` overrides the length field, to make broken files on purpose.
std::vector<uint8_t> BuildImageFile(uint8_t headerVersion, uint16_t deviceId,
                                    std::span<const uint8_t> payload,
                                    std::optional<uint32_t> announcedLength = std::nullopt);

// `length` bytes of a repeatable pseudo-random pattern, different for each seed.
std::vector<uint8_t> PatternPayload(std::size_t length, uint32_t seed);

}  // namespace lumaflash::sim
