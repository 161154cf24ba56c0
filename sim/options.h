#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "core/platform/command_line.h"
#include "core/platform/expected.h"
#include "sim/device_model.h"

namespace lumaflash::sim {

// What lumaflash-sim was started with.
struct Options {
  int count = 1;
  bool mix = false;
  std::vector<uint16_t> types;
  std::optional<uint16_t> bootloader;
  std::optional<uint16_t> firmware;
  std::optional<uint16_t> blockSize;
  bool stay = false;
  std::vector<FaultPlan> faults;
  std::string tty;
  bool help = false;     // --help or -h: print the usage, nothing else
  bool version = false;  // --version
};

// Parses the arguments after the program name, or says in one line what is wrong with them.
// --help (or -h) ends the reading: the words after it are not looked at.
Expected<Options, platform::UsageError> ParseOptions(const std::vector<std::string>& args);

// The usage that --help prints, made from the same table the parser reads.
std::string Usage();

}  // namespace lumaflash::sim
