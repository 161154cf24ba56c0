#include "options.h"

#include <cctype>
#include <set>
#include <string_view>

namespace lumaflash::cli {

const char* const kUsage =
    "usage: lumaflash-cli scan [--port PATH]... [--usb VID:PID]... [--json] [--trace]\n"
    "       lumaflash-cli flash IMAGE [--port PATH]... [--usb VID:PID]... [--serial HEX]\n"
    "                           [--all] [--wait] [--repeat] [--json] [--log FILE]\n"
    "       lumaflash-cli ports [--json]\n"
    "       lumaflash-cli info IMAGE\n"
    "\n"
    "  scan   list the devices in bootloader mode on the system's serial ports, or on the\n"
    "         named ports only; --trace adds the scan log, --json prints JSON instead\n"
    "         --usb VID:PID  open only ports of this USB device (hex; VID: for any product\n"
    "                        of the vendor); repeatable, also for flash\n"
    "  flash  write IMAGE into the one device found and start it\n"
    "         --serial HEX  the device with this serial number\n"
    "         --all         every device of the image's type at once, each on its own port\n"
    "         --wait        wait for a matching device to appear instead of failing\n"
    "         --repeat      after each update go on with the next device that appears\n"
    "                       (Ctrl+C ends it)\n"
    "         --json        one JSON object per device on standard output (JSON Lines);\n"
    "                       everything else goes to standard error\n"
    "         --log FILE    append one CSV line per device attempt to FILE\n"
    "  ports  list the serial ports with their USB identity, opening none of them\n"
    "  info   show an image file's header, device type, payload length and SHA-256\n";

namespace {

struct CommandRules {
  std::size_t positional;
  std::set<std::string_view> flags;
  bool ports;                // --port and --usb
  bool flashValues = false;  // --serial and --log
};

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

void TakeFlag(std::string_view arg, Options& options) {
  options.json = options.json || arg == "--json";
  options.trace = options.trace || arg == "--trace";
  options.all = options.all || arg == "--all";
  options.wait = options.wait || arg == "--wait";
  options.repeat = options.repeat || arg == "--repeat";
}

std::optional<CommandRules> RulesFor(std::string_view command) {
  if (command == "scan")
    return CommandRules{0, {"--json", "--trace"}, true};
  if (command == "flash")
    return CommandRules{1, {"--all", "--wait", "--repeat", "--json"}, true, true};
  if (command == "info")
    return CommandRules{1, {}, false};
  if (command == "ports")
    return CommandRules{0, {"--json"}, false};
  return std::nullopt;
}

}  // namespace

std::optional<Options> ParseOptions(int argc, char** argv, std::string& error) {
  if (argc < 2) {
    error = "no command given";
    return std::nullopt;
  }
  Options options;
  options.command = argv[1];
  auto rules = RulesFor(options.command);
  if (!rules) {
    error = "unknown command \"" + options.command + "\"";
    return std::nullopt;
  }
  for (int i = 2; i < argc; ++i) {
    std::string_view arg = argv[i];
    if (arg == "--port" && rules->ports) {
      if (i + 1 >= argc) {
        error = "--port needs a path";
        return std::nullopt;
      }
      options.ports.emplace_back(argv[++i]);
    } else if (arg == "--usb" && rules->ports) {
      const std::string_view value = i + 1 < argc ? argv[++i] : "";
      auto match = serial::ParseUsbMatch(value);
      if (!match) {
        error =
            "--usb takes a USB vendor and product id in hexadecimal, VID:PID (e.g. "
            "1209:0001), or VID: for any product of the vendor; \"" +
            std::string(value) + "\" is not one";
        return std::nullopt;
      }
      options.usb.push_back(*match);
    } else if ((arg == "--serial" || arg == "--log") && rules->flashValues) {
      if (i + 1 >= argc) {
        error = std::string(arg) + (arg == "--serial" ? " needs a serial number" : " needs a file");
        return std::nullopt;
      }
      std::string_view value = argv[++i];
      if (arg == "--log") {
        // An empty name would quietly mean "no log" on a run that must leave its record.
        if (value.empty()) {
          error = "--log needs a file name; \"\" names no file";
          return std::nullopt;
        }
        options.logPath = value;
        continue;
      }
      auto serial = NormalSerial(value);
      if (!serial) {
        error =
            "--serial takes the serial number in hexadecimal digits, two per byte (e.g. "
            "0A1BFF); \"" +
            std::string(value) + "\" is not one";
        return std::nullopt;
      }
      options.serial = *serial;
    } else if (rules->flags.contains(arg)) {
      TakeFlag(arg, options);
    } else if (arg.starts_with("--")) {
      error = "unknown option " + std::string(arg) + " for " + options.command;
      return std::nullopt;
    } else {
      options.positional.emplace_back(arg);
    }
  }
  if (options.positional.size() != rules->positional) {
    error = options.command + (rules->positional == 0 ? " takes no file" : " needs one IMAGE");
    return std::nullopt;
  }
  return options;
}

}  // namespace lumaflash::cli
