#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <set>
#include <sstream>
#include <system_error>

#include "core/serial/device_root.h"
#include "core/serial/port.h"

namespace lumaflash::serial {

namespace fs = std::filesystem;

namespace {

// The first line of a sysfs attribute, or nothing when the attribute is absent.
std::optional<std::string> ReadAttribute(const fs::path& file) {
  std::ifstream in(file);
  std::string line;
  if (!in || !std::getline(in, line)) {
    return std::nullopt;
  }
  return line;
}

std::string LowerHex4(const std::string& text) {
  std::string hex = text.substr(0, 4);
  std::transform(hex.begin(), hex.end(), hex.begin(),
                 [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
  return std::string(4 - std::min<std::size_t>(hex.size(), 4), '0') + hex;
}

// Both ttyACM (the tty's device is the USB interface) and ttyUSB (the tty's device is a
// usb-serial port below the interface) reach the USB device by walking up from the tty's device.
std::optional<UsbIdentity> UsbIdentityOfTty(const fs::path& ttyDir, const fs::path& sysRoot) {
  std::error_code error;
  fs::path dir = fs::canonical(ttyDir / "device", error);
  if (error) {
    return std::nullopt;
  }
  std::optional<int> interfaceNumber;
  for (; dir != sysRoot && dir.has_relative_path() && dir.string().starts_with(sysRoot.string());
       dir = dir.parent_path()) {
    if (!interfaceNumber) {
      if (auto number = ReadAttribute(dir / "bInterfaceNumber")) {
        interfaceNumber = static_cast<int>(std::strtol(number->c_str(), nullptr, 16));
      }
    }
    auto vid = ReadAttribute(dir / "idVendor");
    auto pid = ReadAttribute(dir / "idProduct");
    if (vid && pid) {
      return UsbIdentity{LowerHex4(*vid),
                         LowerHex4(*pid),
                         ReadAttribute(dir / "manufacturer"),
                         ReadAttribute(dir / "product"),
                         ReadAttribute(dir / "serial"),
                         interfaceNumber};
    }
  }
  return std::nullopt;
}

// The device number of our controlling terminal as sysfs writes it ("4:64"), or empty.
std::string ControllingTerminal() {
  std::ifstream in("/proc/self/stat");
  std::string stat;
  std::getline(in, stat);
  const std::size_t nameEnd = stat.rfind(')');
  if (nameEnd == std::string::npos) {
    return {};
  }
  std::istringstream fields(stat.substr(nameEnd + 1));
  std::string state;
  long long parent = 0;
  long long group = 0;
  long long session = 0;
  unsigned long long terminal = 0;
  if (!(fields >> state >> parent >> group >> session >> terminal) || terminal == 0) {
    return {};
  }
  const unsigned long long major = (terminal >> 8) & 0xfff;
  const unsigned long long minor = (terminal & 0xff) | ((terminal >> 12) & 0xfff00);
  return std::to_string(major) + ":" + std::to_string(minor);
}

std::set<std::string> Consoles(const fs::path& classDir) {
  std::set<std::string> names;
  std::ifstream in(classDir / "console" / "active");
  for (std::string name; in >> name;) {
    names.insert(name);
  }
  return names;
}

// tty name -> the first link under /dev/serial/by-id (in natural order) that points to it.
std::map<std::string, std::string> ByIdLinks(const fs::path& devDir) {
  std::vector<fs::path> links;
  std::error_code error;
  for (const auto& entry : fs::directory_iterator(devDir / "serial" / "by-id", error)) {
    links.push_back(entry.path());
  }
  std::sort(links.begin(), links.end(), [](const fs::path& a, const fs::path& b) {
    return NaturalLess(a.string(), b.string());
  });
  std::map<std::string, std::string> byName;
  for (const fs::path& link : links) {
    const fs::path target = fs::read_symlink(link, error);
    if (!error) {
      byName.emplace(target.filename().string(), link.string());
    }
  }
  return byName;
}

SkipReason SkipReasonOf(const fs::path& ttyDir, const std::set<std::string>& consoles,
                        const std::string& controlling) {
  if (consoles.contains(ttyDir.filename().string()) ||
      (!controlling.empty() && ReadAttribute(ttyDir / "dev") == controlling)) {
    return SkipReason::Console;
  }
  // serial_core reports PORT_UNKNOWN (0) for a legacy port that no UART answered at boot.
  if (ReadAttribute(ttyDir / "type") == "0") {
    return SkipReason::NoUart;
  }
  return SkipReason::None;
}

struct Tree {
  fs::path root = DeviceRoot();
  fs::path sys = root / "sys";
  fs::path classDir = sys / "class" / "tty";
  fs::path dev = root / "dev";
};

// The tty name of a device path in this tree, following links (/dev/serial/by-id/...) that lead
// to one.
std::optional<std::string> TtyNameOf(const Tree& tree, fs::path path) {
  std::error_code error;
  for (int hop = 0; hop < 8; ++hop) {
    if (path.parent_path() == tree.dev && fs::exists(tree.classDir / path.filename(), error)) {
      return path.filename().string();
    }
    const fs::path target = fs::read_symlink(path, error);
    if (error) {
      return std::nullopt;
    }
    path = (path.parent_path() / target).lexically_normal();
  }
  return std::nullopt;
}

}  // namespace

fs::path DeviceRoot() {
  const char* root = std::getenv("LUMAFLASH_DEVICE_ROOT");
  if (root == nullptr || *root == '\0') {
    return "/";
  }
  std::error_code error;
  fs::path canonical = fs::weakly_canonical(root, error);
  return error ? fs::path(root) : canonical;
}

std::vector<PortInfo> ListPorts() {
  const Tree tree;
  std::error_code error;
  const fs::path sysRoot = fs::weakly_canonical(tree.sys, error);
  const std::set<std::string> consoles = Consoles(tree.classDir);
  const std::string controlling = ControllingTerminal();
  std::map<std::string, std::string> byId = ByIdLinks(tree.dev);
  // Only ttys with a device behind them are serial ports; virtual consoles and pseudo-terminals
  // have none.
  std::vector<fs::path> ttys;
  for (const auto& entry : fs::directory_iterator(tree.classDir, error)) {
    if (fs::exists(entry.path() / "device", error)) {
      ttys.push_back(entry.path());
    }
  }
  std::sort(ttys.begin(), ttys.end(), [](const fs::path& a, const fs::path& b) {
    return NaturalLess(a.filename().string(), b.filename().string());
  });
  std::vector<PortInfo> ports;
  for (const fs::path& tty : ttys) {
    const std::string name = tty.filename().string();
    PortInfo info;
    info.address = PortAddress{static_cast<int>(ports.size()) + 1, (tree.dev / name).string(),
                               UsbIdentityOfTty(tty, sysRoot)};
    info.byId = byId[name];
    info.skipped = SkipReasonOf(tty, consoles, controlling);
    ports.push_back(std::move(info));
  }
  return ports;
}

std::vector<PortAddress> SystemPorts() {
  std::vector<PortAddress> ports;
  for (PortInfo& info : ListPorts()) {
    if (info.skipped == SkipReason::None) {
      info.address.portNumber = static_cast<int>(ports.size()) + 1;
      ports.push_back(std::move(info.address));
    }
  }
  return ports;
}

std::optional<UsbIdentity> FindUsbIdentity(const std::string& path) {
  const Tree tree;
  std::error_code error;
  const auto name = TtyNameOf(tree, fs::absolute(path, error).lexically_normal());
  if (!name) {
    return std::nullopt;
  }
  return UsbIdentityOfTty(tree.classDir / *name, fs::weakly_canonical(tree.sys, error));
}

}  // namespace lumaflash::serial
