// The commands of lumaflash-cli, their options, and the help texts drawn from them.
#include "cli/command_table.h"

#include <cctype>
#include <string>

#include "cli/options.h"
#include "cli/records_options.h"
#include "core/serial/usb_identity.h"

namespace lumaflash::cli {

namespace {

using platform::OptionSpec;

constexpr std::string_view kRecordsHelp =
    "the record store (default: $XDG_STATE_HOME/lumaflash/records.sqlite); off records "
    "nothing";
constexpr std::string_view kServerHelp =
    "forward records to this PostgreSQL server (libpq URI; the password from ~/.pgpass)";

std::string_view ResultHelp() {
  static const std::string kHelp = "one result: " + ResultWordsText() + " (every result but ok)";
  return kHelp;
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

std::vector<std::string_view> CommandNames() {
  std::vector<std::string_view> names;
  for (const CommandSpec& command : Commands()) {
    names.push_back(command.name);
  }
  return names;
}

std::string HelpText(std::string_view topic) {
  if (topic.empty()) {
    return Overview();
  }
  const CommandSpec* command = FindCommand(topic);
  return command == nullptr ? std::string() : CommandHelp(*command);
}

}  // namespace lumaflash::cli
