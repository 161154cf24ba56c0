#include "core/platform/hex.h"

#include <array>

namespace lumaflash::platform {

std::string HexBytes(std::span<const uint8_t> bytes, HexCase letters) {
  static constexpr char kLower[] = "0123456789abcdef";
  static constexpr char kUpper[] = "0123456789ABCDEF";
  const char* digits = letters == HexCase::Upper ? kUpper : kLower;
  std::string text;
  text.reserve(bytes.size() * 2);
  for (const uint8_t byte : bytes) {
    text.push_back(digits[byte >> 4]);
    text.push_back(digits[byte & 0x0Fu]);
  }
  return text;
}

std::string HexWord(uint16_t word) {
  const std::array<uint8_t, 2> bytes{static_cast<uint8_t>(word >> 8),
                                     static_cast<uint8_t>(word & 0xFFu)};
  return HexBytes(bytes);
}

}  // namespace lumaflash::platform
