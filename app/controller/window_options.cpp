#include "app/controller/window_options.h"

#include <charconv>
#include <utility>

#include "lumaflash_version.h"

namespace lumaflash::app {

namespace {

std::optional<int> ParseCount(const std::string& text) {
  int value = 0;
  const char* end = text.data() + text.size();
  auto [rest, status] = std::from_chars(text.data(), end, value);
  if (status != std::errc() || rest != end || value < 1 || value > kMaxSimulated) {
    return std::nullopt;
  }
  return value;
}

}  // namespace

std::optional<AppOptions> ParseAppOptions(const std::vector<std::string>& args,
                                          std::string& error) {
  AppOptions options;
  for (std::size_t i = 0; i < args.size(); ++i) {
    const std::string& arg = args[i];
    const bool hasValue = i + 1 < args.size();
    if (arg == "--help" || arg == "-h") {
      options.help = true;
    } else if (arg == "--version") {
      options.version = true;
    } else if (arg == "--simulate" && hasValue) {
      auto count = ParseCount(args[++i]);
      if (!count) {
        error = "--simulate needs a number of devices from 1 to 99, not \"" + args[i] + "\"";
        return std::nullopt;
      }
      options.simulate = *count;
    } else if (arg == "--port" && hasValue && !args[i + 1].empty()) {
      options.ports.push_back(args[++i]);
    } else if (arg == "--usb" && hasValue) {
      auto match = serial::ParseUsbMatch(args[++i]);
      if (!match) {
        error =
            "--usb takes a USB vendor and product id in hexadecimal, VID:PID (e.g. "
            "1209:0001), or VID: for any product of the vendor; \"" +
            args[i] + "\" is not one";
        return std::nullopt;
      }
      options.usb.push_back(*match);
    } else if (arg == "--simulate" || arg == "--port" || arg == "--usb") {
      error = arg + " needs a value";
      return std::nullopt;
    } else {
      error = "unknown argument \"" + arg + "\"";
      return std::nullopt;
    }
  }
  return options;
}

std::string AppUsage(const Face& face) {
  const std::string port(face.portName);
  std::string text = "usage: lumaflash ";
  text += face.canSimulate ? "[--simulate N] " : "";
  text += "[--port " + port + "]... [--usb VID:PID]...\n";
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
      "  --version     print the program's version\n";
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
  return setup;
}

bool HasDisplay(const char* display, const char* waylandDisplay, const char* qpaPlatform) {
  auto set = [](const char* value) { return value != nullptr && *value != '\0'; };
  return set(display) || set(waylandDisplay) || set(qpaPlatform);
}

}  // namespace lumaflash::app
