#pragma once

#include <string>
#include <string_view>

namespace lumaflash::web {

// Text from a station or a device, safe inside HTML and SVG (element content and quoted
// attributes): & < > " ' as references, bytes that are not UTF-8 as U+FFFD and control
// characters as \xHH, which XML would refuse.
std::string HtmlEscape(std::string_view text);

// `text` as a JSON string with its quotes, well-formed UTF-8; < > & as \u escapes so that the
// text stays inert even if a reader mistook the JSON for HTML.
std::string JsonString(std::string_view text);

// One CSV field: quoted when it holds a comma, a quote or a line break.
std::string CsvField(std::string_view text);

// The query's value of `name`, percent- and plus-decoded; nothing when it is absent.
struct QueryValue {
  bool present = false;
  std::string value;
};
QueryValue QueryParameter(std::string_view query, std::string_view name);

// `text` percent-encoded for a URL's query.
std::string UrlEncode(std::string_view text);

}  // namespace lumaflash::web
