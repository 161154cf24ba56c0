#pragma once

#include <string>
#include <string_view>

namespace lumaflash::cli {

// `text` as a JSON string literal, quotes included; bytes that are not UTF-8 become U+FFFD.
std::string JsonString(std::string_view text);

// A JSON object written one member at a time, in the order given.
class JsonObject {
 public:
  JsonObject& Add(std::string_view key, std::string_view value);
  JsonObject& Add(std::string_view key, const char* value) {
    return Add(key, std::string_view(value));
  }
  JsonObject& Add(std::string_view key, long long value);
  JsonObject& AddNull(std::string_view key);
  JsonObject& AddRaw(std::string_view key, std::string_view json);
  std::string Text() const { return "{" + m_members + "}"; }

 private:
  void Key(std::string_view key);
  std::string m_members;
};

}  // namespace lumaflash::cli
