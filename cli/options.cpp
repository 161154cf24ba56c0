#include "cli/options.h"

#include <algorithm>
#include <cctype>
#include <charconv>

#include "core/platform/command_line.h"

namespace lumaflash::cli {

namespace {

using platform::NearMiss;
using platform::OptionSpec;

// The commands and their options. The parser, `--help`, the man page test and the shell
// completion all follow this table: a new option is one row here (and one entry in the man page).
struct CommandSpec {
  std::string_view name;
  std::string_view operand;  // "IMAGE", or empty when the command takes no file
  std::string_view summary;
  std::vector<OptionSpec> options;
};

constexpr std::string_view kUsbHelp =
    "open only ports of this USB device (hexadecimal vendor and product id; VID: for any "
    "product of the vendor; repeatable)";

constexpr std::string_view kRecordsHelp =
    "the record store (default: $XDG_STATE_HOME/lumaflash/records.sqlite); off records "
    "nothing";
constexpr std::string_view kServerHelp =
    "forward records to this PostgreSQL server (libpq URI; the password from ~/.pgpass)";

const std::vector<CommandSpec>& Commands() {
  static const std::vector<CommandSpec> kCommands{
      {"scan",
       "",
       "list the devices in bootloader mode on the system's serial ports",
       {{"--port", "PATH", true, "scan only this port (repeatable)"},
        {"--usb", "VID:PID", true, kUsbHelp},
        {"--json", "", false, "print a JSON array, one object per device"},
        {"--trace", "", false, "add the scan log"}}},
      {"flash",
       "IMAGE",
       "write IMAGE into the one device found and start it",
       {{"--port", "PATH", true, "look for the device only on this port (repeatable)"},
        {"--usb", "VID:PID", true, kUsbHelp},
        {"--serial", "HEX", false, "the device with this serial number (e.g. 0A1BFF)"},
        {"--all", "", false, "every device of the image's type at once, each on its own port"},
        {"--wait", "", false, "wait for a matching device to appear instead of failing"},
        {"--repeat", "", false,
         "after each update go on with the next device that appears (Ctrl+C ends it)"},
        {"--json", "", false,
         "one JSON object per device on standard output (JSON Lines); everything else goes "
         "to standard error"},
        {"--log", "FILE", false, "append one CSV line per device attempt to FILE"},
        {"--holder-wait", "SECONDS", false,
         "wait this long (default 10) for another program that has the port open to let go; "
         "0 does not wait"},
        {"--records", "PATH|off", false, kRecordsHelp},
        {"--station", "NAME", false, "the station named in the records (default: host name)"},
        {"--records-server", "URI", false, kServerHelp},
        {"--require-record", "", false,
         "send nothing to a device before its attempt is in the record store (exit 12 when "
         "the store cannot be opened or cannot take it); exit 12 when a record cannot be kept"},
        {"--holder-wait", "SECONDS", false,
         "wait this long (default 10) for another program that has the port open to let go; "
         "0 does not wait"}}},
      {"records",
       "[sync]",
       "list the recorded update attempts, newest first; sync forwards the waiting ones",
       {{"--records", "PATH", false, kRecordsHelp},
        {"--records-server", "URI", false, kServerHelp},
        {"--server", "", false, "ask the server instead of the local store"},
        {"--since", "DATE", false, "attempts started on or after DATE (YYYY-MM-DD, UTC)"},
        {"--until", "DATE", false, "attempts started on or before DATE (YYYY-MM-DD, UTC)"},
        {"--serial", "HEX", false, "the device with this serial number"},
        {"--usb-serial", "S", false, "the port's USB serial number"},
        {"--image", "SHA256|PATH", false, "the image, by payload SHA-256 or by path"},
        {"--result", "WORD", false, "one result (ok, write-failed, interrupted, ...)"},
        {"--station", "NAME", false, "one station"},
        {"--summary", "", false,
         "per day and device type: attempts, units updated, failures, first-pass yield"},
        {"--json", "", false, "one JSON object per record (JSON Lines)"},
        {"--csv", "", false, "CSV with a header line"}}},
      {"ports",
       "",
       "list the serial ports with their USB identity, opening none of them",
       {{"--json", "", false, "print a JSON array, one object per port"}}},
      {"udev-rule",
       "",
       "print the udev rules that let the seated user open these devices and keep ModemManager "
       "away from them",
       {{"--usb", "VID:PID", true, "the USB id of a device in bootloader mode (repeatable)"},
        {"--install", "", false,
         "write /etc/udev/rules.d/70-lumaflash.rules, reload udev and trigger the devices (as "
         "root)"}}},
      {"info", "IMAGE", "show an image file's header, device type, payload length and SHA-256", {}},
      {"help", "[COMMAND]", "show this overview, or the help of one command", {}},
  };
  return kCommands;
}

const CommandSpec* FindCommand(std::string_view name) {
  for (const CommandSpec& command : Commands()) {
    if (command.name == name) {
      return &command;
    }
  }
  return nullptr;
}

const OptionSpec* FindOption(const CommandSpec& command, std::string_view name) {
  for (const OptionSpec& option : command.options) {
    if (option.name == name) {
      return &option;
    }
  }
  return nullptr;
}

std::string HelpPointer(const CommandSpec* command) {
  if (command == nullptr || command->name == "help") {
    return "; see lumaflash-cli --help";
  }
  return "; see lumaflash-cli " + std::string(command->name) + " --help";
}

std::string UnknownOption(const CommandSpec& command, std::string_view arg) {
  std::vector<std::string_view> names{"--help"};
  for (const OptionSpec& option : command.options) {
    names.push_back(option.name);
  }
  std::string text = "unknown option " + std::string(arg) + " for " + std::string(command.name);
  for (const CommandSpec& other : Commands()) {
    if (FindOption(other, arg) != nullptr) {
      return text + " (it belongs to " + std::string(other.name) + ")";
    }
  }
  return text + NearMiss(arg, names);
}

// The first line of a usage error about one word of `command`'s options; `refused` is what the
// handler that refused a value said.
std::string OptionError(const CommandSpec& command, const platform::CommandLineStop& stop,
                        const std::string& refused) {
  switch (stop.reason) {
    case platform::CommandLineStop::Reason::UnknownOption:
      return UnknownOption(command, stop.word);
    case platform::CommandLineStop::Reason::MissingValue:
      return stop.word + " needs a value (" + stop.word + " " + std::string(stop.option->value) +
             ")";
    case platform::CommandLineStop::Reason::Refused:
      break;
  }
  return refused;
}

// "0a1bff", "0A1BFF" and "0A 1B FF" all name the same serial number.
std::optional<std::string> NormalSerial(std::string_view text) {
  std::string hex;
  for (char c : text) {
    if (c == ' ' || c == ':' || c == '-') {
      continue;
    }
    if (!std::isxdigit(static_cast<unsigned char>(c))) {
      return std::nullopt;
    }
    hex += static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  }
  if (hex.empty() || hex.size() % 2 != 0) {
    return std::nullopt;
  }
  return hex;
}

bool IsDate(std::string_view text) {
  if (text.size() != 10 || text[4] != '-' || text[7] != '-') {
    return false;
  }
  for (std::size_t i : {0u, 1u, 2u, 3u, 5u, 6u, 8u, 9u}) {
    if (!std::isdigit(static_cast<unsigned char>(text[i]))) {
      return false;
    }
  }
  const int month = (text[5] - '0') * 10 + (text[6] - '0');
  const int day = (text[8] - '0') * 10 + (text[9] - '0');
  return month >= 1 && month <= 12 && day >= 1 && day <= 31;
}

// The options that take a text; an empty one would quietly mean "not given".
bool StoreText(std::string_view name, std::string_view value, Options& options,
               std::string& error) {
  if (value.empty()) {
    error = std::string(name) + " needs a value; \"\" names nothing";
    return false;
  }
  if (name == "--records") {
    options.records = value;
  } else if (name == "--station") {
    options.station = value;
  } else if (name == "--records-server") {
    options.recordsServer = value;
  } else if (name == "--usb-serial") {
    options.usbSerial = value;
  } else if (name == "--image") {
    options.image = value;
  } else {
    options.result = value;
  }
  return true;
}

std::optional<std::chrono::seconds> WholeSeconds(std::string_view text) {
  constexpr int kLongestWait = 3600;
  int value = 0;
  auto [end, status] = std::from_chars(text.data(), text.data() + text.size(), value);
  if (text.empty() || status != std::errc() || end != text.data() + text.size() || value < 0 ||
      value > kLongestWait) {
    return std::nullopt;
  }
  return std::chrono::seconds(value);
}

// Stores one option; false (and `error` set) when its value is not usable.
bool Store(std::string_view name, std::string_view value, Options& options, std::string& error) {
  if (name == "--port") {
    options.ports.emplace_back(value);
  } else if (name == "--usb") {
    auto match = serial::ParseUsbMatch(value);
    if (!match) {
      error =
          "--usb takes a USB vendor and product id in hexadecimal, VID:PID (e.g. 1209:0001), or "
          "VID: for any product of the vendor; \"" +
          std::string(value) + "\" is not one";
      return false;
    }
    options.usb.push_back(*match);
  } else if (name == "--log") {
    // An empty name would quietly mean "no log" on a run that must leave its record.
    if (value.empty()) {
      error = "--log needs a file name; \"\" names no file";
      return false;
    }
    options.logPath = value;
  } else if (name == "--records" || name == "--station" || name == "--records-server" ||
             name == "--usb-serial" || name == "--image" || name == "--result") {
    return StoreText(name, value, options, error);
  } else if (name == "--since" || name == "--until") {
    if (!IsDate(value)) {
      error = std::string(name) + " takes a date as YYYY-MM-DD (e.g. 2026-12-08); \"" +
              std::string(value) + "\" is not one";
      return false;
    }
    (name == "--since" ? options.since : options.until) = value;
  } else if (name == "--serial") {
    auto serial = NormalSerial(value);
    if (!serial) {
      error =
          "--serial takes the serial number in hexadecimal digits, two per byte (e.g. "
          "0A1BFF); \"" +
          std::string(value) + "\" is not one";
      return false;
    }
    options.serial = *serial;
  } else if (name == "--holder-wait") {
    auto seconds = WholeSeconds(value);
    if (!seconds) {
      error = "--holder-wait takes a whole number of seconds from 0 to 3600; \"" +
              std::string(value) + "\" is not one";
      return false;
    }
    options.holderWait = *seconds;
  } else {
    options.install = options.install || name == "--install";
    options.json = options.json || name == "--json";
    options.trace = options.trace || name == "--trace";
    options.all = options.all || name == "--all";
    options.wait = options.wait || name == "--wait";
    options.repeat = options.repeat || name == "--repeat";
    options.requireRecord = options.requireRecord || name == "--require-record";
    options.server = options.server || name == "--server";
    options.csv = options.csv || name == "--csv";
    options.summary = options.summary || name == "--summary";
  }
  return true;
}

bool IsHelp(std::string_view arg) {
  return arg == "--help" || arg == "-h";
}

std::optional<Options> ParseHelp(int argc, char** argv, std::string& error) {
  Options options;
  options.command = "help";
  if (argc > 2 && !IsHelp(argv[2])) {
    options.helpTopic = argv[2];
    if (FindCommand(options.helpTopic) == nullptr) {
      std::vector<std::string_view> names;
      for (const CommandSpec& command : Commands()) {
        names.push_back(command.name);
      }
      error = "no help on \"" + options.helpTopic + "\", which is no command" +
              NearMiss(options.helpTopic, names) + HelpPointer(nullptr);
      return std::nullopt;
    }
  }
  return options;
}

// The command's usage line; continuation lines line up under the first option, `lead`
// columns in.
std::string Synopsis(const CommandSpec& command, std::size_t lead) {
  std::string line = "lumaflash-cli " + std::string(command.name);
  if (!command.operand.empty()) {
    line += " " + std::string(command.operand);
  }
  const std::size_t indent = lead + line.size() + 1;
  std::size_t column = indent - 1;
  for (const OptionSpec& option : command.options) {
    std::string word = "[" + std::string(option.name);
    word += option.value.empty() ? "]" : " " + std::string(option.value) + "]";
    word += option.repeatable ? "..." : "";
    if (column + word.size() + 1 > 78) {
      line += "\n" + std::string(indent - 1, ' ');
      column = indent - 1;
    }
    line += " " + word;
    column += word.size() + 1;
  }
  return line;
}

// Words of `text` from column `indent`, wrapped before column 79.
std::string Wrapped(std::string_view text, std::size_t indent) {
  std::string out;
  std::size_t column = indent;
  while (!text.empty()) {
    const std::size_t end = std::min(text.find(' '), text.size());
    const std::string_view word = text.substr(0, end);
    if (column > indent && column + 1 + word.size() > 78) {
      out += "\n" + std::string(indent, ' ');
      column = indent;
    } else if (column > indent) {
      out += ' ';
      ++column;
    }
    out += word;
    column += word.size();
    text.remove_prefix(std::min(end + 1, text.size()));
  }
  return out;
}

std::string CommandHelp(const CommandSpec& command) {
  std::string summary(command.summary);
  summary[0] = static_cast<char>(std::toupper(static_cast<unsigned char>(summary[0])));
  std::string text =
      "usage: " + Synopsis(command, 7) + "\n\n" + Wrapped(summary, 0) + ".\n\noptions:\n";
  auto entry = [&text](std::string head, std::string_view help) {
    head = "  " + head;
    head.resize(std::max<std::size_t>(head.size() + 2, 20), ' ');
    text += head + Wrapped(help, head.size()) + "\n";
  };
  for (const OptionSpec& option : command.options) {
    std::string head(option.name);
    head += option.value.empty() ? "" : " " + std::string(option.value);
    entry(head, option.help);
  }
  entry("-h, --help", "show this help");
  return text;
}

std::string Overview() {
  std::string text = "usage: lumaflash-cli COMMAND [OPTION]...\n";
  for (const CommandSpec& command : Commands()) {
    if (command.name != "help") {
      text += "  " + Synopsis(command, 2) + "\n";
    }
  }
  text +=
      "  lumaflash-cli help [COMMAND]\n"
      "  lumaflash-cli --version\n\n"
      "Finds lighting-control devices in bootloader mode on serial ports and writes firmware\n"
      "images into them.\n\ncommands:\n";
  for (const CommandSpec& command : Commands()) {
    std::string head = "  " + std::string(command.name);
    head.resize(12, ' ');
    text += head + Wrapped(command.summary, 12) + "\n";
  }
  text +=
      "\n\"lumaflash-cli help COMMAND\" or \"lumaflash-cli COMMAND --help\" shows a command's\n"
      "options. Exit status: 0 success, 2 usage error, 3 to 12 a failure of the update (see\n"
      "lumaflash-cli(1) or the README).\n";
  return text;
}

}  // namespace

std::string HelpText(std::string_view topic) {
  if (topic.empty()) {
    return Overview();
  }
  const CommandSpec* command = FindCommand(topic);
  return command == nullptr ? std::string() : CommandHelp(*command);
}

std::optional<Options> ParseOptions(int argc, char** argv, std::string& error) {
  if (argc < 2) {
    error = "no command given" + HelpPointer(nullptr);
    return std::nullopt;
  }
  const std::string_view first = argv[1];
  if (IsHelp(first) || first == "help") {
    return ParseHelp(argc, argv, error);
  }
  if (first == "--version") {
    Options options;
    options.command = "version";
    return options;
  }
  const CommandSpec* command = FindCommand(first);
  if (command == nullptr) {
    std::vector<std::string_view> names;
    for (const CommandSpec& known : Commands()) {
      names.push_back(known.name);
    }
    error = "unknown command \"" + std::string(first) + "\"" + NearMiss(first, names) +
            HelpPointer(nullptr);
    return std::nullopt;
  }
  Options options;
  options.command = first;
  // `--help` and `-h` answer wherever they stand, once the words before them were taken.
  std::vector<OptionSpec> table = command->options;
  table.push_back({"--help", "", false, ""});
  table.push_back({"-h", "", false, ""});
  bool help = false;
  const std::vector<std::string> args(argv + 2, argv + argc);
  const auto stop = platform::WalkCommandLine(
      args, table,
      [&](const OptionSpec& option, std::string_view value) {
        help = IsHelp(option.name);
        return !help && Store(option.name, value, options, error);
      },
      [&](std::string_view operand) {
        options.positional.emplace_back(operand);
        return true;
      });
  if (help) {
    Options helpOptions;
    helpOptions.command = "help";
    helpOptions.helpTopic = options.command;
    return helpOptions;
  }
  if (stop) {
    error = OptionError(*command, *stop, error) + HelpPointer(command);
    return std::nullopt;
  }
  if (options.command == "udev-rule" && options.usb.empty()) {
    error =
        "udev-rule needs at least one --usb VID:PID, the id of the device in bootloader mode "
        "(lumaflash-cli ports lists them)" +
        HelpPointer(command);
    return std::nullopt;
  }
  const std::size_t wanted = command->operand.empty() ? 0 : 1;
  // An operand in brackets may be left out.
  const bool optional = command->operand.starts_with('[') && options.positional.empty();
  if (command->name == "records" && !options.positional.empty() &&
      options.positional.front() != "sync") {
    error = "records knows only the word sync, not \"" + options.positional.front() + "\"" +
            HelpPointer(command);
    return std::nullopt;
  }
  if (options.positional.size() != wanted && !optional) {
    error = wanted == 0 ? options.command + " takes no file, but was given \"" +
                              options.positional.front() + "\""
                        : options.command + (options.positional.empty()
                                                 ? " needs one IMAGE file"
                                                 : " takes one IMAGE file, not " +
                                                       std::to_string(options.positional.size()));
    error += HelpPointer(command);
    return std::nullopt;
  }
  return options;
}

}  // namespace lumaflash::cli
