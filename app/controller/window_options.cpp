#include "app/controller/window_options.h"

#include <charconv>
#include <string>
#include <string_view>
#include <utility>

#include "core/platform/command_line.h"
#include "core/platform/text_path.h"
#include "core/records/recorder.h"
#include "core/records/server_uri.h"
#include "lumaflash_version.h"

namespace lumaflash::app {

namespace {

// Why the records server that the options or LUMAFLASH_RECORDS_SERVER name cannot be used.
std::optional<std::string> UnusableServer(const AppOptions& options) {
  const std::string uri =
      records::ResolveRecordsConfig(options.records, options.station, options.recordsServer, "")
          .serverUri;
  if (uri.empty()) {
    return std::nullopt;
  }
  auto address = records::ParseServerUri(uri);
  return address ? std::nullopt : std::optional(records::Describe(address.error()));
}

using platform::AppendValue;
using platform::OptionSpec;
using platform::StoreValue;
using platform::UsageError;

// The window's options, the same on every face; a face shows those it can use, with its own
// name for a port and its own place for the records. --help, -h and --version (no help of their
// own) are listed at the end of the help.
constexpr OptionSpec kWindowOptions[] = {
    {"--simulate", "N", false, "start N simulated devices (1 to 99) and scan only those"},
    {"--port", "PATH", true, "scan only this port (repeatable)"},
    {"--usb", "VID:PID", true, serial::kUsbOptionHelp},
    {"--records", "PATH|off", false, ""},
    {"--station", "NAME", false, "the station named in the records (default: the host name)"},
    {"--records-server", "URI", false,
     "forward the records to this PostgreSQL server (libpq URI; the password from ~/.pgpass)"},
    {"--help", "", false, ""},
    {"-h", "", false, ""},
    {"--version", "", false, ""},
};

Unexpected<UsageError> Refuse(std::string text) {
  return MakeUnexpected(UsageError{std::move(text)});
}

Expected<int, UsageError> SimulatedCount(std::string_view text) {
  int value = 0;
  const char* end = text.data() + text.size();
  auto [rest, status] = std::from_chars(text.data(), end, value);
  if (status != std::errc() || rest != end || value < 1 || value > kMaxSimulated) {
    return Refuse("--simulate needs a number of devices from 1 to 99, not \"" + std::string(text) +
                  "\"");
  }
  return value;
}

// Stores one option, or says why its value is not usable.
Expected<void, UsageError> Store(std::string_view name, std::string_view value,
                                 AppOptions& options) {
  if (name == "--help" || name == "-h" || name == "--version") {
    (name == "--version" ? options.version : options.help) = true;
    return {};
  }
  if (name == "--simulate") {
    return StoreValue(SimulatedCount(value), options.simulate);
  }
  if (name == "--usb") {
    return AppendValue(serial::UsbOptionValue(value), options.usb);
  }
  // An empty path names no port; taken as one, it would quietly scan nothing.
  if (name == "--port") {
    return AppendValue(platform::TextValue(name, value), options.ports);
  }
  std::string& field = name == "--records"
                           ? options.records
                           : (name == "--station" ? options.station : options.recordsServer);
  return StoreValue(platform::TextValue(name, value), field);
}

// Takes the one word that is no option as the image handed to the window.
Expected<void, UsageError> StoreImage(std::string_view word, AppOptions& options) {
  if (word.empty() || word[0] == '-') {  // "" and "-" name no file
    return Refuse("unknown argument \"" + std::string(word) + "\"");
  }
  if (!options.image.empty()) {
    return Refuse("one image file at a time, but \"" + options.image + "\" and \"" +
                  std::string(word) + "\" were given");
  }
  options.image = word;
  return {};
}

// The rows of the table that `face` shows, in its own words; `recordsHelp` holds the text of
// --records for as long as the rows are used.
std::vector<OptionSpec> FaceRows(const Face& face, const std::string& recordsHelp) {
  std::vector<OptionSpec> rows;
  for (OptionSpec row : kWindowOptions) {
    if (row.name == "--help" || row.name == "-h" || row.name == "--version" ||
        (row.name == "--simulate" && !face.canSimulate) ||
        (row.name == "--records-server" && !face.canForward)) {
      continue;
    }
    row.value = row.name == "--port" ? face.portName : row.value;
    row.help = row.name == "--records" ? std::string_view(recordsHelp) : row.help;
    rows.push_back(row);
  }
  return rows;
}

}  // namespace

Expected<AppOptions, UsageError> ParseAppOptions(const std::vector<std::string>& args) {
  AppOptions options;
  const auto stop = platform::WalkCommandLine(
      args, kWindowOptions,
      [&](const OptionSpec& option, std::string_view value) {
        return Store(option.name, value, options);
      },
      [&](std::string_view operand) { return StoreImage(operand, options); });
  if (!stop) {
    return options;
  }
  switch (stop->reason) {
    case platform::CommandLineStop::Reason::UnknownOption:
      return Refuse("unknown argument \"" + stop->word + "\"");
    case platform::CommandLineStop::Reason::MissingValue:
      return Refuse(stop->word + " needs a value");
    case platform::CommandLineStop::Reason::Refused:
      break;
  }
  return MakeUnexpected(stop->refused);
}

std::string AppUsage(const Face& face) {
  const std::string recordsHelp =
      "keep a record of each update in this store (default: " + std::string(face.recordsDefault) +
      "); off keeps none";
  const std::vector<OptionSpec> rows = FaceRows(face, recordsHelp);
  return "usage: " + platform::Synopsis("lumaflash", rows, "[FILE]", 7) +
         "\n       lumaflash --help | --version\n\n" +
         platform::Wrapped(
             "The window that finds lighting-control devices in bootloader mode "
             "and updates their firmware. Without options it scans " +
                 std::string(face.allPorts) + ".",
             0) +
         "\n\noptions:\n" + platform::OptionList(rows) +
         platform::OptionEntry("FILE",
                               "an image file: the first Firmware-Update opens the file dialog "
                               "on it") +
         platform::OptionEntry("-h, --help", "show this help") +
         platform::OptionEntry("--version", "print the program's version");
}

StartUp PlanStartUp(const std::vector<std::string>& args, const Face& face) {
  StartUp plan;
  auto options = ParseAppOptions(args);
  if (!options) {
    plan.exitCode = 2;
    plan.text = "lumaflash: " + options.error().text + "; see lumaflash --help\n";
    plan.error = true;
  } else if (options->help) {
    plan.exitCode = 0;
    plan.text = AppUsage(face);
  } else if (options->version) {
    plan.exitCode = 0;
    plan.text = VersionLine("lumaflash") + "\n";
  } else if (options->simulate > 0 && !face.canSimulate) {
    // Windows has no pseudo-terminals to serve simulated devices on.
    plan.exitCode = 2;
    plan.text =
        "lumaflash: --simulate needs pseudo-terminals, which Windows does not have; use "
        "--port COMn with a device attached.\n";
    plan.error = true;
  } else if (auto unusable = UnusableServer(*options)) {
    plan.exitCode = 2;
    plan.text = "lumaflash: " + *unusable + ".\n";
    plan.error = true;
  } else {
    plan.options = std::move(*options);
  }
  return plan;
}

WindowSetup SetupFor(const AppOptions& options, const std::vector<std::string>& simulatedPorts,
                     std::filesystem::path directory) {
  WindowSetup setup;
  setup.ports = options.ports;
  setup.ports.insert(setup.ports.end(), simulatedPorts.begin(), simulatedPorts.end());
  setup.usbFilter = options.usb;
  setup.directory = std::move(directory);
  if (!options.image
           .empty()) {  // a file named on the command line, dropped on the program, or "Open with"
    setup.handedImage =
        platform::Utf8FromPath(std::filesystem::absolute(platform::PathFromUtf8(options.image)));
  }
  return setup;
}

bool HasDisplay(const char* display, const char* waylandDisplay, const char* qpaPlatform) {
  auto set = [](const char* value) { return value != nullptr && *value != '\0'; };
  return set(display) || set(waylandDisplay) || set(qpaPlatform);
}

}  // namespace lumaflash::app
