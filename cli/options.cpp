#include "options.h"

#include <set>
#include <string_view>

namespace lumaflash::cli {

const char* const kUsage =
    "usage: lumaflash-cli scan [--port PATH]... [--json] [--trace]\n"
    "       lumaflash-cli flash IMAGE [--port PATH]...\n"
    "       lumaflash-cli info IMAGE\n"
    "\n"
    "  scan   list the devices in bootloader mode on the system's serial ports, or on the\n"
    "         named ports only; --trace adds the scan log, --json prints JSON instead\n"
    "  flash  write IMAGE into the one device found and start it\n"
    "  info   show an image file's header, device type, payload length and SHA-256\n";

namespace {

struct CommandRules {
  std::size_t positional;
  std::set<std::string_view> flags;
  bool ports;
};

std::optional<CommandRules> RulesFor(std::string_view command) {
  if (command == "scan")
    return CommandRules{0, {"--json", "--trace"}, true};
  if (command == "flash")
    return CommandRules{1, {}, true};
  if (command == "info")
    return CommandRules{1, {}, false};
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
    } else if (rules->flags.contains(arg)) {
      options.json = options.json || arg == "--json";
      options.trace = options.trace || arg == "--trace";
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
