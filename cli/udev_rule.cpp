#include "cli/udev_rule.h"

#include <array>
#include <cstdio>

#include "cli/commands.h"
#include "cli/exit_codes.h"

namespace lumaflash::cli {

namespace {

std::string Hex4(uint16_t value) {
  std::array<char, 8> text{};
  std::snprintf(text.data(), text.size(), "%04x", static_cast<unsigned>(value));
  return text.data();
}

std::string AttributeMatch(const serial::UsbMatch& id) {
  std::string match = "ATTRS{idVendor}==\"" + Hex4(id.vid) + "\"";
  if (id.pid) {
    match += ", ATTRS{idProduct}==\"" + Hex4(*id.pid) + "\"";
  }
  return match;
}

}  // namespace

std::string UsbMatchText(const serial::UsbMatch& id) {
  return Hex4(id.vid) + ":" + (id.pid ? Hex4(*id.pid) : "");
}

std::string UdevRules(const std::vector<serial::UsbMatch>& ids) {
  std::string rules =
      "# Written by lumaflash-cli udev-rule: lighting-control devices in bootloader mode.\n"
      "# ID_MM_DEVICE_IGNORE: ModemManager does not probe the port with AT commands, which the\n"
      "# bootloader would receive in the middle of an update.\n"
      "# uaccess: the user at the seat may open the port without being in its group.\n";
  for (const serial::UsbMatch& id : ids) {
    const std::string match = AttributeMatch(id);
    rules += "\n# " + UsbMatchText(id) + "\n";
    rules += match + ", ENV{ID_MM_DEVICE_IGNORE}=\"1\"\n";
    rules += "SUBSYSTEM==\"tty\", " + match + ", TAG+=\"uaccess\"\n";
  }
  return rules;
}

int RunUdevRule(const Options& options) {
  if (options.install) {
    return InstallUdevRules(options.usb);
  }
  std::fputs(UdevRules(options.usb).c_str(), stdout);
  return kExitOk;
}

}  // namespace lumaflash::cli
