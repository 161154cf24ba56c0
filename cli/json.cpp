#include "cli/json.h"

#include <string_view>

#include "core/platform/text_path.h"

namespace lumaflash::cli {

namespace {

void MakeWellFormed(Json& value) {
  if (value.is_string()) {
    value = platform::WellFormedUtf8(value.get_ref<const std::string&>());
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
