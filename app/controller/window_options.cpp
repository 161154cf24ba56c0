#include "app/controller/window_options.h"

#include <charconv>
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

std::optional<int> ParseCount(const std::string& text) {
  int value = 0;
  const char* end = text.data() + text.size();
  auto [rest, status] = std::from_chars(text.data(), end, value);
  if (status != std::errc() || rest != end || value < 1 || value > kMaxSimulated) {
    return std::nullopt;
  }
  return value;
}

// The window's options, the same on every face (the help text is AppUsage's).
constexpr platform::OptionSpec kWindowOptions[] = {
    {"--simulate", "N", false, ""}, {"--port", "PATH", true, ""}, {"--usb", "VID:PID", true, ""},
    {"--help", "", false, ""},      {"-h", "", false, ""},        {"--version", "", false, ""},
    {"--records", "PATH|off", false, ""}, {"--station", "NAME", false, ""},
    {"--records-server", "URI", false, ""},
};

// Stores one option; false (and `error` set) when its value is not usable.
bool Store(std::string_view name, const std::string& value, AppOptions& options,
           std::string& error) {
  if (name == "--help" || name == "-h") {
    options.help = true;
  } else if (name == "--version") {
    options.version = true;
  } else if (name == "--simulate") {
    auto count = ParseCount(value);
    if (!count) {
      error = "--simulate needs a number of devices from 1 to 99, not \"" + value + "\"";
      return false;
    }
    options.simulate = *count;
  } else if (name == "--records" || name == "--station" || name == "--records-server") {
    if (value.empty()) {
      error = std::string(name) + " needs a value";
      return false;
    }
    (name == "--records" ? options.records
                         : (name == "--station" ? options.station : options.recordsServer)) = value;
  } else if (name == "--port") {
    // An empty path names no port; taken as one, it would quietly scan nothing.
    if (value.empty()) {
      error = "--port needs a value";
      return false;
    }
    options.ports.push_back(value);
  } else {
    auto match = serial::ParseUsbMatch(value);
    if (!match) {
      error =
          "--usb takes a USB vendor and product id in hexadecimal, VID:PID (e.g. "
          "1209:0001), or VID: for any product of the vendor; \"" +
          value + "\" is not one";
      return false;
    }
    options.usb.push_back(*match);
  }
  return true;
}

// Takes the one word that is no option as the image handed to the window.
bool StoreImage(const std::string& word, AppOptions& options, std::string& error) {
  if (word.empty() || word[0] == '-') {  // "" and "-" name no file
    error = "unknown argument \"" + word + "\"";
    return false;
  }
  if (!options.image.empty()) {
    error =
        "one image file at a time, but \"" + options.image + "\" and \"" + word + "\" were given";
    return false;
  }
  options.image = word;
  return true;
}

}  // namespace

std::optional<AppOptions> ParseAppOptions(const std::vector<std::string>& args,
                                          std::string& error) {
  AppOptions options;
  const auto stop = platform::WalkCommandLine(
      args, kWindowOptions,
      [&](const platform::OptionSpec& option, std::string_view value) {
        return Store(option.name, std::string(value), options, error);
      },
      [&](std::string_view operand) { return StoreImage(std::string(operand), options, error); });
  if (!stop) {
    return options;
  }
  if (stop->reason == platform::CommandLineStop::Reason::UnknownOption) {
    error = "unknown argument \"" + stop->word + "\"";
  } else if (stop->reason == platform::CommandLineStop::Reason::MissingValue) {
    error = stop->word + " needs a value";
  }
  return std::nullopt;
}

std::string AppUsage(const Face& face) {
  const std::string port(face.portName);
  std::string text = "usage: lumaflash ";
  text += face.canSimulate ? "[--simulate N] " : "";
  text += "[--port " + port + "]... [--usb VID:PID]...\n";
  text += "                 [--records PATH|off] [--station NAME] ";
  text += face.canForward ? "[--records-server URI] [FILE]\n" : "[FILE]\n";
  text +=
      "       lumaflash --help | --version\n"
      "\n"
      "The window that finds lighting-control devices in bootloader mode and updates their\n"
      "firmware.\n"
      "\n";
  if (face.canSimulate) {
    text += "  --simulate N  start N simulated devices (1 to 99) and scan only those\n";
  }
  text +=
      "  --port " + port + std::string(7 - port.size(), ' ') + "scan only this port (repeatable)\n";
  text +=
      "  --usb VID:PID open only ports of this USB device (hex; VID: for any product of the\n"
      "                vendor; repeatable)\n"
      "  --records PATH|off  keep a record of each update in this store (default:\n"
      "                " +
      std::string(face.recordsDefault) +
      "); off keeps none\n"
      "  --station NAME      the station named in the records (default: the host name)\n";
  if (face.canForward) {
    text += "  --records-server URI  forward the records to this PostgreSQL server\n";
  }
  text +=
      "  --version     print the program's version\n"
      "  FILE          an image file: the first Firmware-Update opens the file dialog on it\n";
  return text + "  without options " + std::string(face.allPorts) + "\n";
}

StartUp PlanStartUp(const std::vector<std::string>& args, const Face& face) {
  StartUp plan;
  std::string error;
  auto options = ParseAppOptions(args, error);
  if (!options) {
    plan.exitCode = 2;
    plan.text = "lumaflash: " + error + "; see lumaflash --help\n";
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
