#pragma once

#include <chrono>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "core/serial/usb_identity.h"

namespace lumaflash::cli {

struct Options {
  std::string command;    // scan, flash, info, ports; help and version answer without running one
  std::string helpTopic;  // help: the command asked about, empty for the overview
  std::vector<std::string> positional;
  std::vector<std::string> ports;     // --port PATH, repeatable
  std::vector<serial::UsbMatch> usb;  // --usb VID:PID, repeatable: only matching ports
  bool json = false;
  bool trace = false;
  // flash only
  bool all = false;     // every matching device at once
  bool wait = false;    // wait for a matching device instead of failing
  bool repeat = false;  // go on with the next device after each update
  std::string serial;   // --serial HEX: the device to update, as upper-case hex
  std::string logPath;  // --log FILE: one CSV line per device attempt
  // --holder-wait SECONDS: how long to wait for another program to let go of a port
  std::chrono::seconds holderWait{10};
  // udev-rule only
  bool install = false;  // write the rules file into /etc/udev/rules.d and reload udev
};

// Parses the command line; nothing (and `error` set) for anything it does not know. `error` is
// one line: what is wrong, a near miss when there is one, and where the help is.
// `--help`, `-h`, `help [COMMAND]` and `COMMAND --help` give the command "help";
// `--version` gives "version".
std::optional<Options> ParseOptions(int argc, char** argv, std::string& error);

// The overview (empty topic) or one command's help, as `--help` prints it. Empty for a topic
// that is no command.
std::string HelpText(std::string_view topic);

}  // namespace lumaflash::cli
