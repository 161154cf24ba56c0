#pragma once

#include <functional>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace lumaflash::platform {

// One option of a program or of one of its commands. The programs read their command lines
// through a table of these, so that parsing, help and the manual-page check follow one list.
struct OptionSpec {
  std::string_view name;   // "--port"
  std::string_view value;  // what it takes, "PATH"; empty for a flag
  bool repeatable = false;
  std::string_view help;
};

// Why the walk over a command line stopped early.
struct CommandLineStop {
  enum class Reason {
    UnknownOption,  // `word` starts with '-' and is in no row of the table
    MissingValue,   // `option` takes a value, but the command line ends after it
    Refused,        // a handler refused `word` (and said why in its own words)
  };
  Reason reason;
  std::string word;
  const OptionSpec* option = nullptr;
};

// Handlers return false to stop the walk at this word.
using OptionHandler = std::function<bool(const OptionSpec& option, std::string_view value)>;
using OperandHandler = std::function<bool(std::string_view operand)>;

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

}  // namespace lumaflash::platform
