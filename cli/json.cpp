#include "cli/json.h"

#include <string_view>

#include "core/platform/text_path.h"

namespace lumaflash::cli {

namespace {

constexpr std::string_view kReplacementCharacter = "\xEF\xBF\xBD";  // U+FFFD

// Paths are bytes on Linux and need not be UTF-8; JSON must be. Each byte that does not belong to
// a well-formed sequence becomes U+FFFD, so a parser never chokes and the rest stays readable.
// (The library's own replacement takes a cut-off sequence as one character; one per byte tells
// the reader how many bytes were lost.)
std::string WellFormed(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (static_cast<unsigned char>(text[i]) < 0x80) {
      out += text[i];
      continue;
    }
    const std::size_t length = platform::Utf8SequenceLength(text.substr(i));
    out += length == 0 ? kReplacementCharacter : text.substr(i, length);
    i += length == 0 ? 0 : length - 1;
  }
  return out;
}

void MakeWellFormed(Json& value) {
  if (value.is_string()) {
    value = WellFormed(value.get_ref<const std::string&>());
  } else if (value.is_structured()) {
    for (Json& member : value) {
      MakeWellFormed(member);
    }
  }
}

// Backspace and form feed as \u0008 and \u000c, the form every other control character has and
// these two always had in our output; the library writes them as \b and \f.
std::string LongControlEscapes(const std::string& json) {
  std::string out;
  out.reserve(json.size());
  for (std::size_t i = 0; i < json.size(); ++i) {
    if (json[i] != '\\' || i + 1 == json.size()) {
      out += json[i];
      continue;
    }
    const char escaped = json[++i];
    out += escaped == 'b' ? "\\u0008" : escaped == 'f' ? "\\u000c" : std::string{'\\', escaped};
  }
  return out;
}

}  // namespace

Json OrNull(const std::optional<std::string>& text) {
  return text ? Json(*text) : Json(nullptr);
}

std::string DumpJson(const Json& value) {
  Json copy = value;
  MakeWellFormed(copy);
  return LongControlEscapes(copy.dump(-1, ' ', false, Json::error_handler_t::strict));
}

}  // namespace lumaflash::cli
