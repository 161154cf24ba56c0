#include "cli/json.h"

#include <cstdio>

#include "core/platform/text_path.h"

namespace lumaflash::cli {

namespace {

constexpr std::string_view kReplacementCharacter = "\xEF\xBF\xBD";  // U+FFFD

}  // namespace

// Paths are bytes on Linux and need not be UTF-8; JSON must be. Each byte that does not belong to
// a well-formed sequence becomes U+FFFD, so a parser never chokes and the rest stays readable.
std::string JsonString(std::string_view text) {
  std::string out = "\"";
  for (std::size_t i = 0; i < text.size(); ++i) {
    const char c = text[i];
    if (static_cast<unsigned char>(c) >= 0x80) {
      const std::size_t length = platform::Utf8SequenceLength(text.substr(i));
      out += length == 0 ? kReplacementCharacter : text.substr(i, length);
      i += length == 0 ? 0 : length - 1;
      continue;
    }
    switch (c) {
      case '"':
        out += "\\\"";
        break;
      case '\\':
        out += "\\\\";
        break;
      case '\n':
        out += "\\n";
        break;
      case '\r':
        out += "\\r";
        break;
      case '\t':
        out += "\\t";
        break;
      default:
        if (static_cast<unsigned char>(c) < 0x20) {
          char escaped[8];
          std::snprintf(escaped, sizeof escaped, "\\u%04x", static_cast<unsigned>(c));
          out += escaped;
        } else {
          out += c;
        }
    }
  }
  return out + "\"";
}

void JsonObject::Key(std::string_view key) {
  if (!m_members.empty()) {
    m_members += ",";
  }
  m_members += JsonString(key) + ":";
}

JsonObject& JsonObject::Add(std::string_view key, std::string_view value) {
  Key(key);
  m_members += JsonString(value);
  return *this;
}

JsonObject& JsonObject::Add(std::string_view key, long long value) {
  Key(key);
  m_members += std::to_string(value);
  return *this;
}

JsonObject& JsonObject::AddNull(std::string_view key) {
  Key(key);
  m_members += "null";
  return *this;
}

JsonObject& JsonObject::AddRaw(std::string_view key, std::string_view json) {
  Key(key);
  m_members += json;
  return *this;
}

}  // namespace lumaflash::cli
