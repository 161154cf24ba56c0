// Reading lumaflash-cli's command line: the command, its options and their values, checked against
// the command table.
#include "cli/options.h"

#include <charconv>
#include <string>
#include <utility>
#include <vector>

#include "cli/command_table.h"
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

std::string HelpPointer(const CommandSpec* command) {
  if (command == nullptr || command->name == "help") {
    return "; see lumaflash-cli --help";
  }
  return "; see lumaflash-cli " + std::string(command->name) + " --help";
}

Unexpected<UsageError> Refuse(std::string text) {
  return MakeUnexpected(UsageError{std::move(text)});
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

}  // namespace

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
