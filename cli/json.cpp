#include "json.h"

#include <cstdio>

namespace lumaflash::cli {

std::string JsonString(std::string_view text) {
  std::string out = "\"";
  for (char c : text) {
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
