#include <grp.h>
#include <sys/stat.h>

#include <cstring>
#include <optional>
#include <string>

#include "core/serial/port.h"
#include "core/serial/port_advice.h"

namespace lumaflash::serial {

namespace {

struct NodeGroup {
  std::string name;
  bool mayOpen = false;  // the group has read and write permission on the node
};

std::optional<NodeGroup> GroupOf(const std::string& path) {
  struct stat node {};
  if (::stat(path.c_str(), &node) != 0) {
    return std::nullopt;
  }
  const group* entry = ::getgrgid(node.st_gid);
  NodeGroup found;
  found.name = entry != nullptr ? entry->gr_name : std::to_string(node.st_gid);
  found.mayOpen = (node.st_mode & (S_IRGRP | S_IWGRP)) == (S_IRGRP | S_IWGRP);
  return found;
}

std::string UdevAdvice(const std::string& path) {
  const std::optional<UsbIdentity> usb = FindUsbIdentity(path);
  const std::string id = usb ? UsbId(*usb) : "VID:PID";
  return "install the udev rule that gives the seated user access (lumaflash-cli udev-rule --usb " +
         id + " --install, as root)";
}

}  // namespace

std::string SystemErrorText(int osError) {
  return std::strerror(osError);
}

std::string_view NoSuchPortChecks() {
  return "Check the cable and that the device is in bootloader mode";
}

std::string_view LikelyHolders() {
  return {};
}

std::string_view HolderAdvice() {
  return "; ModemManager leaves the port alone once the udev rule from lumaflash-cli udev-rule is "
         "installed";
}

std::string AccessDeniedWords(int osError) {
  (void)osError;
  return "permission denied";
}

std::string AccessDeniedAdvice(const std::string& path) {
  const std::optional<NodeGroup> group = GroupOf(path);
  if (!group || !group->mayOpen) {
    return "Only its owner may open it: " + UdevAdvice(path) + ", then plug the device in again.";
  }
  return "The port belongs to the group " + group->name +
         ", which your user is not in. Either add your user to it (sudo usermod -aG " +
         group->name + " $USER, then log in again) or " + UdevAdvice(path) + ".";
}

}  // namespace lumaflash::serial
