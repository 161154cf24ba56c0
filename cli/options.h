#pragma once

#include <chrono>
#include <cstddef>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "core/platform/command_line.h"
#include "core/platform/expected.h"
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
  // records of update attempts (flash and records)
  std::string records;         // --records PATH|off: the local store
  std::string station;         // --station NAME (flash); the station asked for (records)
  std::string recordsServer;   // --records-server URI: the factory's PostgreSQL server
  bool requireRecord = false;  // --require-record: no update without its record
  // records only
  bool server = false;  // ask the server instead of the local store
  bool csv = false;
  bool summary = false;         // per day and device type, or as --by says
  std::vector<std::string> by;  // --by day|station|type|image, repeatable: the summary's groups
  bool stations = false;        // --stations: each station's last record and forward
  std::string since, until;     // a date (in the --tz zone) or a time, checked as real
  std::string timeZone;         // --tz ZONE: the zone of the days; empty: this machine's
  std::size_t limit = 0;        // --limit N: list at most N records; 0: all
  std::string usbSerial, image, result;
  bool rejected = false;  // --rejected: the records a server refused for good
  std::string exportTo;   // export --to FILE: the copy of the store
  // records serve only
  std::string listen = "127.0.0.1:8470";  // --listen ADDR:PORT
  std::string tokenFile;                  // --token-file FILE: the access token
  std::size_t maxLive = 16;               // --max-live N: live pages at once
  std::vector<std::string> hostNames;     // --host-name NAME, repeatable
  // --holder-wait SECONDS: how long to wait for another program to let go of a port
  std::chrono::seconds holderWait{10};
  // udev-rule only
  bool install = false;  // write the rules file into /etc/udev/rules.d and reload udev
};

// Parses the command line, or says in one line what is wrong with it: what, a near miss when
// there is one, and where the help is. `--help`, `-h`, `help [COMMAND]` and `COMMAND --help`
// give the command "help"; `--version` gives "version".
Expected<Options, platform::UsageError> ParseOptions(int argc, char** argv);

// The overview (empty topic) or one command's help, as `--help` prints it. Empty for a topic
// that is no command.
std::string HelpText(std::string_view topic);

}  // namespace lumaflash::cli
