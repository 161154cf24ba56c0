#pragma once

#include <functional>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "core/platform/expected.h"

namespace lumaflash::platform {

// One option of a program or of one of its commands. Each program reads its command line
// through a table of these, and prints its usage and its option list from the same table, so
// that parsing, help and the manual-page check follow one list.
struct OptionSpec {
  std::string_view name;   // "--port"
  std::string_view value;  // what it takes, "PATH"; empty for a flag
  bool repeatable = false;
  std::string_view help;
};

// Why a command line cannot be used: what is wrong, in one line. The program puts its own name
// in front and the pointer to its help behind.
struct UsageError {
  std::string text;
};

// Why the walk over a command line stopped early.
struct CommandLineStop {
  enum class Reason {
    UnknownOption,  // `word` starts with '-' and is in no row of the table
    MissingValue,   // `option` takes a value, but the command line ends after it
    Refused,        // a handler refused `word` and said why in `refused`
  };
  Reason reason;
  std::string word;
  const OptionSpec* option = nullptr;
  UsageError refused;
};

// A handler stops the walk at this word by failing.
using OptionHandler =
    std::function<Expected<void, UsageError>(const OptionSpec& option, std::string_view value)>;
using OperandHandler = std::function<Expected<void, UsageError>(std::string_view operand)>;

// Walks `args` (the words after the program's or the command's name) in order against `table`:
// each word that names a row goes to `onOption` with the next word as its value when the row
// takes one (whatever that word looks like); each word that does not start with '-', and "-"
// alone, goes to `onOperand`. Nothing when every word was taken.
std::optional<CommandLineStop> WalkCommandLine(std::span<const std::string> args,
                                               std::span<const OptionSpec> table,
                                               const OptionHandler& onOption,
                                               const OperandHandler& onOperand);

// " (did you mean X?)" for the nearest of `known` within two edits of `typed`, or one that
// starts with it (three letters at least), or "" when none is near.
std::string NearMiss(std::string_view typed, std::span<const std::string_view> known);

// A text value, which must not be empty: "" would quietly mean "not given".
Expected<std::string, UsageError> TextValue(std::string_view name, std::string_view value);

// Puts a parsed value into its field of the options, or passes its usage error on.
template <typename T, typename Field>
Expected<void, UsageError> StoreValue(Expected<T, UsageError> parsed, Field& field) {
  if (!parsed) {
    return MakeUnexpected(parsed.error());
  }
  field = std::move(*parsed);
  return {};
}

// Adds a parsed value of a repeatable option to its list, or passes its usage error on.
template <typename T>
Expected<void, UsageError> AppendValue(Expected<T, UsageError> parsed, std::vector<T>& list) {
  if (!parsed) {
    return MakeUnexpected(parsed.error());
  }
  list.push_back(std::move(*parsed));
  return {};
}

// The usage of `head` ("lumaflash-cli flash IMAGE") with each option of `table` in brackets and
// then `tail` ("[FILE]"), wrapped before column 79; continuation lines line up under the first
// option, `lead` columns in (the width of what stands before `head` on its first line).
std::string Synopsis(std::string_view head, std::span<const OptionSpec> table,
                     std::string_view tail, std::size_t lead);

// `text` as words from column `indent`, wrapped before column 79.
std::string Wrapped(std::string_view text, std::size_t indent);

// One entry of an option list: "  --port PATH       scan only this port", the help wrapped
// under its own start, and a line break.
std::string OptionEntry(std::string_view head, std::string_view help);

// Every row of `table` as an entry, in the table's order.
std::string OptionList(std::span<const OptionSpec> table);

}  // namespace lumaflash::platform
