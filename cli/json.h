#pragma once

#include <nlohmann/json.hpp>
#include <optional>
#include <string>

namespace lumaflash::cli {

// A JSON value whose object members keep the order they were added in.
using Json = nlohmann::ordered_json;

// The text, or null when there is none.
Json OrNull(const std::optional<std::string>& text);

// `value` as compact JSON text (no spaces), as every command prints it. Strings need not be
// UTF-8: each byte that does not belong to a well-formed sequence is written as U+FFFD.
std::string DumpJson(const Json& value);

}  // namespace lumaflash::cli
