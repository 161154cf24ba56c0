// Parses arbitrary settings text, sets one entry, parses again: the entry reads back as written,
// a second identical write changes nothing, and every other line keeps its bytes.
#include <fuzzer/FuzzedDataProvider.h>

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "core/settings/ini_text.h"
#include "fuzz/check.h"

namespace {

namespace ini_text = lumaflash::settings::ini_text;

constexpr std::string_view kBlanks = " \t\r\v\f";

std::string Trimmed(std::string_view text) {
  const std::size_t first = text.find_first_not_of(kBlanks);
  if (first == std::string_view::npos) {
    return {};
  }
  return std::string(text.substr(first, text.find_last_not_of(kBlanks) - first + 1));
}

std::string WithoutLineBreaks(std::string_view text) {
  std::string result;
  for (const char c : text) {
    if (c != '\r' && c != '\n') {
      result += c;
    }
  }
  return result;
}

// Names that a line of the file can carry: a section without ']', a key without '=' that does
// not read as a section header or a comment. Other names are written too, but cannot be found
// again under the same name; for them only the absence of crashes and the line rule are checked.
bool Representable(const std::string& section, const std::string& key) {
  return section.find(']') == std::string::npos && key.find('=') == std::string::npos &&
         key.front() != '[' && key.front() != ';' && key.front() != '#';
}

// Every byte of `before` outside the one line that changed is still in `after`: the part of
// `before` between the common prefix and the common suffix holds no line break.
bool OnlyOneLineTouched(std::string_view before, std::string_view after) {
  std::size_t prefix = 0;
  while (prefix < before.size() && prefix < after.size() && before[prefix] == after[prefix]) {
    ++prefix;
  }
  std::size_t suffix = 0;
  while (suffix < before.size() - prefix && suffix < after.size() - prefix &&
         before[before.size() - 1 - suffix] == after[after.size() - 1 - suffix]) {
    ++suffix;
  }
  return before.substr(prefix, before.size() - prefix - suffix).find('\n') ==
         std::string_view::npos;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
  FuzzedDataProvider provider(data, size);
  const std::string section = provider.ConsumeRandomLengthString(24);
  const std::string key = provider.ConsumeRandomLengthString(24);
  const std::string value = provider.ConsumeRandomLengthString(300);
  const std::string text = provider.ConsumeRemainingBytesAsString();

  (void)ini_text::FindValue(text, section, key);
  const std::string written = ini_text::SetValue(text, section, key, value);
  Check(OnlyOneLineTouched(text, written));

  const std::string sectionName = Trimmed(WithoutLineBreaks(section));
  const std::string keyName = Trimmed(WithoutLineBreaks(key));
  if (sectionName.empty() || keyName.empty()) {
    Check(written == text);
    return 0;
  }
  if (!Representable(sectionName, keyName)) {
    return 0;
  }
  const std::optional<std::string> readBack = ini_text::FindValue(written, sectionName, keyName);
  Check(readBack.has_value() && *readBack == WithoutLineBreaks(value));
  Check(ini_text::SetValue(written, section, key, value) == written);

  return 0;
}
