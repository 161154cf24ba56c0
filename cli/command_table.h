#pragma once

#include <string_view>
#include <vector>

#include "core/platform/command_line.h"

namespace lumaflash::cli {

// The commands and their options. The parser, `--help`, the man page test and the shell
// completion all follow this table: a new option is one row here (and one entry in the man page).
struct CommandSpec {
  std::string_view name;
  std::string_view operand;  // "IMAGE", or empty when the command takes no file
  std::string_view summary;
  std::vector<platform::OptionSpec> options;
};

// Every command, in the order the overview lists them.
const std::vector<CommandSpec>& Commands();

// The command called `name`, or nothing.
const CommandSpec* FindCommand(std::string_view name);

// `command`'s option called `name`, or nothing.
const platform::OptionSpec* FindOption(const CommandSpec& command, std::string_view name);

// The commands' names, for a near miss.
std::vector<std::string_view> CommandNames();

}  // namespace lumaflash::cli
