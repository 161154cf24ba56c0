#pragma once

#include <optional>
#include <string>
#include <vector>

namespace lumaflash::cli {

struct Options {
  std::string command;  // scan, flash, info
  std::vector<std::string> positional;
  std::vector<std::string> ports;  // --port PATH, repeatable
  bool json = false;
  bool trace = false;
};

// Parses the command line; nothing (and `error` set) for anything it does not know.
std::optional<Options> ParseOptions(int argc, char** argv, std::string& error);

extern const char* const kUsage;

}  // namespace lumaflash::cli
