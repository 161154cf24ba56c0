#include "cli/udev_rule.h"

#include "cli/commands.h"
#include "cli/exit_codes.h"
#include "core/platform/hex.h"

namespace lumaflash::cli {

namespace {

std::string AttributeMatch(const serial::UsbMatch& id) {
  std::string match = "ATTRS{idVendor}==\"" + platform::HexWord(id.vid) + "\"";
  if (id.pid) {
    match += ", ATTRS{idProduct}==\"" + platform::HexWord(*id.pid) + "\"";
  }
  return match;
}

}  // namespace

std::string UsbMatchText(const serial::UsbMatch& id) {
  return platform::HexWord(id.vid) + ":" + (id.pid ? platform::HexWord(*id.pid) : "");
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
