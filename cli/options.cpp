#include "cli/options.h"

#include <algorithm>
#include <cctype>
#include <charconv>

#include "cli/option_values.h"
#include "cli/records_options.h"
#include "core/platform/command_line.h"

namespace lumaflash::cli {

namespace {

using platform::AppendValue;
using platform::NearMiss;
using platform::OptionSpec;
using platform::StoreValue;
using platform::UsageError;

// The commands and their options. The parser, `--help`, the man page test and the shell
// completion all follow this table: a new option is one row here (and one entry in the man page).
struct CommandSpec {
  std::string_view name;
  std::string_view operand;  // "IMAGE", or empty when the command takes no file
  std::string_view summary;
  std::vector<OptionSpec> options;
};

constexpr std::string_view kRecordsHelp =
    "the record store (default: $XDG_STATE_HOME/lumaflash/records.sqlite); off records "
    "nothing";
constexpr std::string_view kServerHelp =
    "forward records to this PostgreSQL server (libpq URI; the password from ~/.pgpass)";

std::string_view ResultHelp() {
  static const std::string kHelp = "one result: " + ResultWordsText() + " (every result but ok)";
  return kHelp;
}

const std::vector<CommandSpec>& Commands() {
  static const std::vector<CommandSpec> kCommands{
      {"scan",
       "",
       "list the devices in bootloader mode on the system's serial ports",
       {{"--port", "PATH", true, "scan only this port (repeatable)"},
        {"--usb", "VID:PID", true, serial::kUsbOptionHelp},
        {"--json", "", false, "print a JSON array, one object per device"},
        {"--trace", "", false, "add the scan log"}}},
      {"flash",
       "IMAGE",
       "write IMAGE into the one device found and start it",
       {{"--port", "PATH", true, "look for the device only on this port (repeatable)"},
        {"--usb", "VID:PID", true, serial::kUsbOptionHelp},
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
         "the store cannot be opened or cannot take it); exit 12 when a record cannot be kept"}}},
      {"records",
       "[sync|export|serve]",
       "list the recorded update attempts, newest first; sync forwards the waiting ones; "
       "export copies the store; serve shows them as a live read-only web page",
       {{"--records", "PATH", false, kRecordsHelp},
        {"--records-server", "URI", false, kServerHelp},
        {"--server", "", false, "ask the server instead of the local store"},
        {"--since", "DATE|TIME", false,
         "attempts started on or after DATE (YYYY-MM-DD, a day in the --tz zone) or TIME "
         "(2026-12-08T06:00 in that zone, or with Z or +08:00)"},
        {"--until", "DATE|TIME", false,
         "attempts started on or before DATE (the whole day), or before TIME"},
        {"--tz", "ZONE", false,
         "the time zone of the days (an IANA name such as Europe/Berlin; default: this "
         "machine's zone)"},
        {"--serial", "HEX", false, "the device with this serial number"},
        {"--usb-serial", "S", false, "the port's USB serial number"},
        {"--image", "SHA256|PATH", false, "the image, by payload SHA-256 or by path"},
        {"--result", "WORD", false, ResultHelp()},
        {"--station", "NAME", false, "one station"},
        {"--limit", "N", false, "list at most N records"},
        {"--summary", "", false,
         "per day and device type: attempts, attempts not started, units, units updated, "
         "rework, failures, first-pass yield"},
        {"--by", "day|station|type|image", true,
         "group the summary by these instead (repeatable: --by day --by station)"},
        {"--stations", "", false,
         "each station's last record, its last forward as the server saw it, and (local "
         "store) how many records wait and since when"},
        {"--json", "", false, "one JSON object per record (JSON Lines)"},
        {"--csv", "", false, "CSV with a header line"},
        {"--rejected", "", false, "the records a server refused for good, with its reason"},
        {"--to", "FILE", false, "export: the new file for the copy"},
        {"--listen", "ADDR:PORT", false,
         "serve: the address and port to listen on (default 127.0.0.1:8470; port 0 picks a "
         "free one)"},
        {"--token-file", "FILE", false,
         "serve: the access token every client must give (required beyond 127.0.0.1)"},
        {"--max-live", "N", false,
         "serve: live pages at once (default 16); later pages ask every 5 s"},
        {"--host-name", "NAME", true,
         "serve: a name the view is reached by, besides its address (repeatable)"}}},
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

Unexpected<UsageError> Refuse(std::string text) {
  return MakeUnexpected(UsageError{std::move(text)});
}

std::vector<std::string_view> CommandNames() {
  std::vector<std::string_view> names;
  for (const CommandSpec& command : Commands()) {
    names.push_back(command.name);
  }
  return names;
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

// The first line of a usage error about one word of `command`'s options.
std::string OptionError(const CommandSpec& command, const platform::CommandLineStop& stop) {
  switch (stop.reason) {
    case platform::CommandLineStop::Reason::UnknownOption:
      return UnknownOption(command, stop.word);
    case platform::CommandLineStop::Reason::MissingValue:
      return stop.word + " needs a value (" + stop.word + " " + std::string(stop.option->value) +
             ")";
    case platform::CommandLineStop::Reason::Refused:
      break;
  }
  return stop.refused.text;
}

// The options of records serve.
Expected<void, UsageError> StoreServe(std::string_view name, std::string_view value,
                                      Options& options) {
  if (name == "--max-live") {
    std::size_t count = 0;
    auto [end, status] = std::from_chars(value.data(), value.data() + value.size(), count);
    if (value.empty() || status != std::errc() || end != value.data() + value.size() || count < 1 ||
        count > 1000) {
      return Refuse("--max-live takes a number of live pages from 1 to 1000; \"" +
                    std::string(value) + "\" is not one");
    }
    options.maxLive = count;
    return {};
  }
  if (name == "--listen") {
    const std::size_t colon = value.rfind(':');
    if (colon == std::string_view::npos || colon == 0 || colon + 1 == value.size()) {
      return Refuse(
          "--listen takes an address and a port, ADDR:PORT (e.g. 127.0.0.1:8470 or "
          "[::1]:8470); \"" +
          std::string(value) + "\" is not one");
    }
  }
  auto text = platform::TextValue(name, value);
  if (!text) {
    return MakeUnexpected(text.error());
  }
  if (name == "--listen") {
    options.listen = *text;
  } else if (name == "--token-file") {
    options.tokenFile = *text;
  } else {
    options.hostNames.push_back(*text);
  }
  return {};
}

// Where the options that take a free text keep it.
std::string& TextField(std::string_view name, Options& options) {
  if (name == "--records") {
    return options.records;
  }
  if (name == "--station") {
    return options.station;
  }
  if (name == "--records-server") {
    return options.recordsServer;
  }
  if (name == "--usb-serial") {
    return options.usbSerial;
  }
  return name == "--image" ? options.image : options.exportTo;
}

void StoreFlag(std::string_view name, Options& options) {
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
  options.rejected = options.rejected || name == "--rejected";
  options.stations = options.stations || name == "--stations";
}

// Stores one option, or says why its value is not usable.
Expected<void, UsageError> Store(const OptionSpec& option, std::string_view value,
                                 Options& options) {
  const std::string_view name = option.name;
  if (option.value.empty()) {
    StoreFlag(name, options);
    return {};
  }
  if (name == "--port") {
    return AppendValue(platform::TextValue(name, value), options.ports);
  }
  if (name == "--usb") {
    return AppendValue(serial::UsbOptionValue(value), options.usb);
  }
  if (name == "--log") {
    return StoreValue(LogValue(value), options.logPath);
  }
  if (IsRecordsValueOption(name)) {
    if (auto stored = StoreRecordsOption(name, value, options); !stored) {
      return Refuse(stored.error().message);
    }
    return {};
  }
  if (name == "--listen" || name == "--token-file" || name == "--max-live" ||
      name == "--host-name") {
    return StoreServe(name, value, options);
  }
  if (name == "--serial") {
    return StoreValue(SerialValue(value), options.serial);
  }
  if (name == "--holder-wait") {
    return StoreValue(HolderWaitValue(value), options.holderWait);
  }
  return StoreValue(platform::TextValue(name, value), TextField(name, options));
}

bool IsHelp(std::string_view arg) {
  return arg == "--help" || arg == "-h";
}

Options HelpOn(std::string topic) {
  Options options;
  options.command = "help";
  options.helpTopic = std::move(topic);
  return options;
}

Expected<Options, UsageError> ParseHelp(int argc, char** argv) {
  if (argc <= 2 || IsHelp(argv[2])) {
    return HelpOn({});
  }
  const std::string topic = argv[2];
  if (FindCommand(topic) == nullptr) {
    return Refuse("no help on \"" + topic + "\", which is no command" +
                  NearMiss(topic, CommandNames()) + HelpPointer(nullptr));
  }
  return HelpOn(topic);
}

// The words after the command: its options and operands, or the help of the command when
// `--help` or `-h` stands among them (once the words before them were taken).
Expected<Options, UsageError> ParseCommandWords(const CommandSpec& command,
                                                const std::vector<std::string>& args) {
  Options options;
  options.command = command.name;
  std::vector<OptionSpec> table = command.options;
  table.push_back({"--help", "", false, ""});
  table.push_back({"-h", "", false, ""});
  bool help = false;
  const auto stop = platform::WalkCommandLine(
      args, table,
      [&](const OptionSpec& option, std::string_view value) -> Expected<void, UsageError> {
        help = IsHelp(option.name);
        return help ? Refuse({}) : Store(option, value, options);
      },
      [&](std::string_view operand) -> Expected<void, UsageError> {
        options.positional.emplace_back(operand);
        return {};
      });
  if (help) {
    return HelpOn(options.command);
  }
  if (stop) {
    return Refuse(OptionError(command, *stop) + HelpPointer(&command));
  }
  return options;
}

// What the command needs beyond its options: its operand, and for udev-rule an id.
Expected<void, UsageError> CheckOperands(const CommandSpec& command, const Options& options) {
  if (options.command == "udev-rule" && options.usb.empty()) {
    return Refuse(
        "udev-rule needs at least one --usb VID:PID, the id of the device in bootloader mode "
        "(lumaflash-cli ports lists them)" +
        HelpPointer(&command));
  }
  if (command.name == "records" && !options.positional.empty() &&
      options.positional.front() != "sync" && options.positional.front() != "export" &&
      options.positional.front() != "serve") {
    return Refuse("records knows only the words sync, export and serve, not \"" +
                  options.positional.front() + "\"" + HelpPointer(&command));
  }
  const bool exporting = !options.positional.empty() && options.positional.front() == "export";
  if (command.name == "records" && exporting != !options.exportTo.empty()) {
    return Refuse(std::string(exporting
                                  ? "records export needs --to FILE, the new file for the copy"
                                  : "--to FILE names the copy that records export writes; "
                                    "add export") +
                  HelpPointer(&command));
  }
  const std::size_t wanted = command.operand.empty() ? 0 : 1;
  // An operand in brackets may be left out.
  const bool optional = command.operand.starts_with('[') && options.positional.empty();
  if (options.positional.size() == wanted || optional) {
    return {};
  }
  if (wanted == 0) {
    return Refuse(options.command + " takes no file, but was given \"" +
                  options.positional.front() + "\"" + HelpPointer(&command));
  }
  return Refuse(options.command +
                (options.positional.empty()
                     ? " needs one IMAGE file"
                     : " takes one IMAGE file, not " + std::to_string(options.positional.size())) +
                HelpPointer(&command));
}

std::string CommandHelp(const CommandSpec& command) {
  std::string summary(command.summary);
  summary[0] = static_cast<char>(std::toupper(static_cast<unsigned char>(summary[0])));
  const std::string head =
      "lumaflash-cli " + std::string(command.name) +
      (command.operand.empty() ? std::string() : " " + std::string(command.operand));
  return "usage: " + platform::Synopsis(head, command.options, {}, 7) + "\n\n" +
         platform::Wrapped(summary, 0) + ".\n\noptions:\n" + platform::OptionList(command.options) +
         platform::OptionEntry("-h, --help", "show this help");
}

std::string Overview() {
  std::string text = "usage: lumaflash-cli COMMAND [OPTION]...\n";
  for (const CommandSpec& command : Commands()) {
    if (command.name != "help") {
      const std::string head =
          "lumaflash-cli " + std::string(command.name) +
          (command.operand.empty() ? std::string() : " " + std::string(command.operand));
      text += "  " + platform::Synopsis(head, command.options, {}, 2) + "\n";
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
    text += head + platform::Wrapped(command.summary, 12) + "\n";
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

Expected<Options, UsageError> ParseOptions(int argc, char** argv) {
  if (argc < 2) {
    return Refuse("no command given" + HelpPointer(nullptr));
  }
  const std::string_view first = argv[1];
  if (IsHelp(first) || first == "help") {
    return ParseHelp(argc, argv);
  }
  if (first == "--version") {
    Options options;
    options.command = "version";
    return options;
  }
  const CommandSpec* command = FindCommand(first);
  if (command == nullptr) {
    return Refuse("unknown command \"" + std::string(first) + "\"" +
                  NearMiss(first, CommandNames()) + HelpPointer(nullptr));
  }
  auto options = ParseCommandWords(*command, std::vector<std::string>(argv + 2, argv + argc));
  if (options && options->command != "help") {
    if (auto checked = CheckOperands(*command, *options); !checked) {
      return MakeUnexpected(checked.error());
    }
  }
  return options;
}

}  // namespace lumaflash::cli
