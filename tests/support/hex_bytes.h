#pragma once

#include <cstdint>
#include <sstream>
#include <string>
#include <vector>

namespace lumaflash::testing {

// Bytes written as the protocol's tables write them: "01 0A ff" is {0x01, 0x0A, 0xFF}, and
// "12*40" is 40 bytes counting up from 0x12.
inline std::vector<uint8_t> Hex(const std::string& text) {
  std::vector<uint8_t> bytes;
  std::istringstream words(text);
  for (std::string word; words >> word;) {
    const auto star = word.find('*');
    const auto first = static_cast<uint8_t>(std::stoul(word.substr(0, star), nullptr, 16));
    const int count = star == std::string::npos ? 1 : std::stoi(word.substr(star + 1));
    for (int i = 0; i < count; ++i) {
      bytes.push_back(static_cast<uint8_t>(first + i));
    }
  }
  return bytes;
}

}  // namespace lumaflash::testing
