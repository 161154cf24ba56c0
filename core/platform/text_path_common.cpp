#include "core/platform/text_path.h"

namespace lumaflash::platform {

namespace {

// How many continuation bytes follow `lead`, and the smallest code point that form may carry;
// -1 for a byte that cannot begin a character.
int TrailCount(unsigned char lead, char32_t& minimum) {
  if (lead < 0x80) {
    minimum = 0;
    return 0;
  }
  if ((lead & 0xE0) == 0xC0) {
    minimum = 0x80;
    return 1;
  }
  if ((lead & 0xF0) == 0xE0) {
    minimum = 0x800;
    return 2;
  }
  if ((lead & 0xF8) == 0xF0) {
    minimum = 0x10000;
    return 3;
  }
  return -1;
}

}  // namespace

bool IsValidUtf8(std::string_view text) {
  std::size_t i = 0;
  while (i < text.size()) {
    const auto lead = static_cast<unsigned char>(text[i]);
    char32_t minimum = 0;
    const int trail = TrailCount(lead, minimum);
    if (trail < 0) {
      return false;
    }
    char32_t code = static_cast<char32_t>(trail == 0 ? lead : (lead & (0x3F >> trail)));
    for (int k = 1; k <= trail; ++k) {
      if (i + static_cast<std::size_t>(k) >= text.size()) {
        return false;
      }
      const auto next = static_cast<unsigned char>(text[i + static_cast<std::size_t>(k)]);
      if ((next & 0xC0) != 0x80) {
        return false;
      }
      code = (code << 6) | static_cast<char32_t>(next & 0x3F);
    }
    if (code < minimum || code > 0x10FFFF || (code >= 0xD800 && code <= 0xDFFF)) {
      return false;
    }
    i += static_cast<std::size_t>(trail) + 1;
  }
  return true;
}

}  // namespace lumaflash::platform
