#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <charconv>
#include <filesystem>
#include <fstream>
#include <optional>
#include <string>
#include <string_view>

#include "core/serial/port_holders.h"

namespace lumaflash::serial {

namespace {

namespace fs = std::filesystem;

// Pseudo-terminal slaves live on majors 136 to 143; their index is what the master's fdinfo
// calls "tty-index".
constexpr unsigned kFirstPtyMajor = 136;
constexpr unsigned kLastPtyMajor = 143;
constexpr unsigned kPtyMasterMajor = 5;
constexpr unsigned kPtyMasterMinor = 2;

std::optional<int> NumberIn(std::string_view text) {
  int value = 0;
  auto [end, status] = std::from_chars(text.data(), text.data() + text.size(), value);
  if (status != std::errc() || end != text.data() + text.size()) {
    return std::nullopt;
  }
  return value;
}

std::optional<int> PtyIndex(dev_t device) {
  if (major(device) < kFirstPtyMajor || major(device) > kLastPtyMajor) {
    return std::nullopt;
  }
  return static_cast<int>((major(device) - kFirstPtyMajor) * 256 + minor(device));
}

// The pseudo-terminal a master descriptor drives, from its fdinfo, or nothing.
std::optional<int> MasterIndex(const fs::path& fdInfo) {
  std::ifstream info(fdInfo);
  std::string line;
  while (std::getline(info, line)) {
    constexpr std::string_view kKey = "tty-index:";
    if (line.starts_with(kKey)) {
      std::string_view value = std::string_view(line).substr(kKey.size());
      value.remove_prefix(std::min(value.find_first_not_of(" \t"), value.size()));
      return NumberIn(value);
    }
  }
  return std::nullopt;
}

struct Scan {
  bool holdsPort = false;
  bool holdsFarEnd = false;
};

// Looks through one process's descriptors for the port (and, for a pseudo-terminal, its master).
Scan ScanProcess(const fs::path& process, dev_t port, std::optional<int> ptyIndex) {
  Scan scan;
  std::error_code error;
  for (fs::directory_iterator fd(process / "fd", error), end; !error && fd != end;
       fd.increment(error)) {
    // Most descriptors are pipes, sockets and files; only a device node can be the port, and
    // reading the link is much cheaper than following it.
    std::array<char, 16> link{};
    const ssize_t length = ::readlink(fd->path().c_str(), link.data(), link.size());
    if (length < 5 || std::string_view(link.data(), 5) != "/dev/") {
      continue;
    }
    struct stat target {};
    if (::stat(fd->path().c_str(), &target) != 0 || !S_ISCHR(target.st_mode)) {
      continue;
    }
    if (target.st_rdev == port) {
      scan.holdsPort = true;
    } else if (ptyIndex && major(target.st_rdev) == kPtyMasterMajor &&
               minor(target.st_rdev) == kPtyMasterMinor &&
               MasterIndex(process / "fdinfo" / fd->path().filename()) == ptyIndex) {
      scan.holdsFarEnd = true;
    }
  }
  return scan;
}

std::string ProcessName(const fs::path& process) {
  std::ifstream comm(process / "comm");
  std::string name;
  std::getline(comm, name);
  return name.empty() ? "a process" : name;
}

}  // namespace

std::vector<PortHolder> FindPortHolders(const std::string& path) {
  struct stat node {};
  if (::stat(path.c_str(), &node) != 0 || !S_ISCHR(node.st_mode)) {
    return {};
  }
  const std::optional<int> ptyIndex = PtyIndex(node.st_rdev);
  const int self = static_cast<int>(::getpid());
  std::vector<PortHolder> holders;
  std::error_code error;
  for (fs::directory_iterator entry("/proc", error), end; !error && entry != end;
       entry.increment(error)) {
    const std::optional<int> pid = NumberIn(entry->path().filename().string());
    if (!pid || *pid == self) {
      continue;
    }
    const Scan scan = ScanProcess(entry->path(), node.st_rdev, ptyIndex);
    // The process at the master's end of a pseudo-terminal is the device itself.
    if (scan.holdsPort && !scan.holdsFarEnd) {
      holders.push_back({*pid, ProcessName(entry->path())});
    }
  }
  std::sort(holders.begin(), holders.end(),
            [](const PortHolder& a, const PortHolder& b) { return a.pid < b.pid; });
  return holders;
}

}  // namespace lumaflash::serial
