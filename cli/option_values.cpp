#include "cli/option_values.h"

#include <cctype>
#include <charconv>
#include <utility>

namespace lumaflash::cli {

namespace {

using platform::UsageError;

Unexpected<UsageError> Refuse(std::string text) {
  return MakeUnexpected(UsageError{std::move(text)});
}

}  // namespace

// "0a1bff", "0A1BFF" and "0A 1B FF" all name the same serial number.
Expected<std::string, UsageError> SerialValue(std::string_view text) {
  const auto refused = [text] {
    return Refuse(
        "--serial takes the serial number in hexadecimal digits, two per byte (e.g. 0A1BFF); \"" +
        std::string(text) + "\" is not one");
  };
  std::string hex;
  for (char c : text) {
    if (c == ' ' || c == ':' || c == '-') {
      continue;
    }
    if (!std::isxdigit(static_cast<unsigned char>(c))) {
      return refused();
    }
    hex += static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  }
  if (hex.empty() || hex.size() % 2 != 0) {
    return refused();
  }
  return hex;
}

Expected<std::chrono::seconds, UsageError> HolderWaitValue(std::string_view text) {
  constexpr int kLongestWait = 3600;
  int value = 0;
  auto [end, status] = std::from_chars(text.data(), text.data() + text.size(), value);
  if (text.empty() || status != std::errc() || end != text.data() + text.size() || value < 0 ||
      value > kLongestWait) {
    return Refuse("--holder-wait takes a whole number of seconds from 0 to 3600; \"" +
                  std::string(text) + "\" is not one");
  }
  return std::chrono::seconds(value);
}

// An empty name would quietly mean "no log" on a run that must leave its record.
Expected<std::string, UsageError> LogValue(std::string_view text) {
  if (text.empty()) {
    return Refuse("--log needs a file name; \"\" names no file");
  }
  return std::string(text);
}

}  // namespace lumaflash::cli
