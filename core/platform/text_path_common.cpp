#include "core/platform/text_path.h"

#include "core/platform/hex.h"

namespace lumaflash::platform {

namespace {

bool IsContinuation(unsigned char byte) {
  return (byte & 0xC0) == 0x80;
}

}  // namespace

// The ranges of the second byte are what rule out overlong forms (E0, F0), surrogates (ED) and
// code points above U+10FFFF (F4); C0, C1 and F5 to FF never begin a sequence.
std::size_t Utf8SequenceLength(std::string_view text) {
  if (text.empty()) {
    return 0;
  }
  const auto lead = static_cast<unsigned char>(text[0]);
  if (lead < 0x80) {
    return 1;
  }
  std::size_t length = 0;
  unsigned char low = 0x80;  // the range the second byte must lie in
  unsigned char high = 0xBF;
  if (lead >= 0xC2 && lead <= 0xDF) {
    length = 2;
  } else if (lead >= 0xE0 && lead <= 0xEF) {
    length = 3;
    low = lead == 0xE0 ? 0xA0 : 0x80;
    high = lead == 0xED ? 0x9F : 0xBF;
  } else if (lead >= 0xF0 && lead <= 0xF4) {
    length = 4;
    low = lead == 0xF0 ? 0x90 : 0x80;
    high = lead == 0xF4 ? 0x8F : 0xBF;
  }
  if (length == 0 || text.size() < length) {
    return 0;
  }
  const auto second = static_cast<unsigned char>(text[1]);
  if (second < low || second > high) {
    return 0;
  }
  for (std::size_t i = 2; i < length; ++i) {
    if (!IsContinuation(static_cast<unsigned char>(text[i]))) {
      return 0;
    }
  }
  return length;
}

bool IsValidUtf8(std::string_view text) {
  while (!text.empty()) {
    const std::size_t length = Utf8SequenceLength(text);
    if (length == 0) {
      return false;
    }
    text.remove_prefix(length);
  }
  return true;
}

std::string WellFormedUtf8(std::string_view text) {
  constexpr std::string_view kReplacement = "\xEF\xBF\xBD";  // U+FFFD
  std::string out;
  out.reserve(text.size());
  for (std::size_t i = 0; i < text.size();) {
    const std::size_t length = Utf8SequenceLength(text.substr(i));
    out += length == 0 ? kReplacement : text.substr(i, length);
    i += length == 0 ? 1 : length;
  }
  return out;
}

std::string EscapeControls(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  for (const char c : text) {
    const auto byte = static_cast<unsigned char>(c);
    if (byte < 0x20 || byte == 0x7F) {
      out += "\\x" + HexBytes(std::span(&byte, 1));
    } else {
      out += c;
    }
  }
  return out;
}

}  // namespace lumaflash::platform
