#pragma once

#include <cstdint>
#include <span>
#include <string>

namespace lumaflash::platform {

enum class HexCase { Lower, Upper };

// Two hexadecimal digits per byte, in the order given: {0x0A, 0xFF} is "0aff" (or "0AFF").
// Every hexadecimal text of the program (serial numbers, device words, digests, ids, escapes)
// is made here.
std::string HexBytes(std::span<const uint8_t> bytes, HexCase letters = HexCase::Lower);

// A 16-bit word as four lower-case digits, most significant first: 0x3514 is "3514".
std::string HexWord(uint16_t word);

}  // namespace lumaflash::platform
