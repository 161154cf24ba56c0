#include "app/controller/window_options.h"

#include <charconv>

namespace lumaflash::app {

const char* const kAppUsage =
    "usage: lumaflash [--simulate N] [--port PATH]... [--usb VID:PID]...\n"
    "                 [--records PATH|off] [--station NAME] [--records-server URI] [FILE]\n"
    "       lumaflash --help | --version\n"
    "\n"
    "The window that finds lighting-control devices in bootloader mode and updates their\n"
    "firmware.\n"
    "\n"
    "  --simulate N  start N simulated devices (1 to 99) and scan only those\n"
    "  --port PATH   scan only this port (repeatable)\n"
    "  --usb VID:PID open only ports of this USB device (hex; VID: for any product of the\n"
    "                vendor; repeatable)\n"
    "  --records PATH|off  keep a record of each update in this store (default:\n"
    "                $XDG_STATE_HOME/lumaflash/records.sqlite); off keeps none\n"
    "  --station NAME      the station named in the records (default: the host name)\n"
    "  --records-server URI  forward the records to this PostgreSQL server\n"
    "  --version     print the program's version\n"
    "  FILE          an image file: the first Firmware-Update opens the file dialog on it\n"
    "  without options the system's serial ports are scanned\n";

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

bool IsRecordsOption(const std::string& arg) {
  return arg == "--records" || arg == "--station" || arg == "--records-server";
}

void StoreRecordsOption(const std::string& arg, const std::string& value, AppOptions& options) {
  (arg == "--records" ? options.records
                      : (arg == "--station" ? options.station : options.recordsServer)) = value;
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
    } else if (IsRecordsOption(arg) && hasValue && !args[i + 1].empty()) {
      StoreRecordsOption(arg, args[++i], options);
    } else if (arg == "--simulate" || arg == "--port" || arg == "--usb" || IsRecordsOption(arg)) {
      error = arg + " needs a value";
      return std::nullopt;
    } else if (!arg.empty() && arg[0] != '-' && options.image.empty()) {
      options.image = arg;
    } else if (!arg.empty() && arg[0] != '-') {
      error =
          "one image file at a time, but \"" + options.image + "\" and \"" + arg + "\" were given";
      return std::nullopt;
    } else {
      error = "unknown argument \"" + arg + "\"";
      return std::nullopt;
    }
  }
  return options;
}

bool HasDisplay(const char* display, const char* waylandDisplay, const char* qpaPlatform) {
  auto set = [](const char* value) { return value != nullptr && *value != '\0'; };
  return set(display) || set(waylandDisplay) || set(qpaPlatform);
}

}  // namespace lumaflash::app
