#pragma once

#include <optional>
#include <string>
#include <string_view>

// The text-level rules of an INI-style file, free of any I/O so they can be tested and fuzzed on
// their own. Sections ("[name]") and keys ("key=value") are matched without regard to case;
// surrounding blanks of names and values are not part of them.
namespace lumaflash::settings::ini_text {

// The value of `key` in `section`, or nothing when the section or key is absent.
std::optional<std::string> FindValue(std::string_view text, std::string_view section,
                                     std::string_view key);

// `text` with `key` in `section` set to `value`: the first matching entry is replaced in place,
// otherwise the key is added at the end of the section, or the section at the end of the text.
// Every other line stays byte for byte as it was.
std::string SetValue(std::string_view text, std::string_view section, std::string_view key,
                     std::string_view value);

// Why an entry cannot be stored so that it reads back as given (a line break, a section or key
// name that the reader would take apart), or empty when it can.
std::string EntryProblem(std::string_view section, std::string_view key, std::string_view value);

}  // namespace lumaflash::settings::ini_text
