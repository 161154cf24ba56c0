#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <charconv>
#include <fstream>
#include <optional>
#include <string>
#include <string_view>

#include "core/serial/port_holders.h"

namespace lumaflash::serial {

namespace {

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
std::optional<int> MasterIndex(const std::string& fdInfo) {
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

// A port looked for: its device number and, for a pseudo-terminal, its index.
struct Target {
  dev_t device = 0;
  std::optional<int> ptyIndex;
  bool valid = false;
};

struct Scan {
  bool holdsPort = false;
  bool holdsFarEnd = false;
};

// Looks through one process's descriptors for each target (and, for a pseudo-terminal, its
// master). Descriptors are read relative to the process's fd folder: a pass over every process
// reads a few thousand links, and the system calls are the whole cost.
std::vector<Scan> ScanProcess(const std::string& process, const std::vector<Target>& targets) {
  std::vector<Scan> scans(targets.size());
  const int folder = ::open((process + "/fd").c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  DIR* listing = folder < 0 ? nullptr : ::fdopendir(folder);
  if (listing == nullptr) {
    if (folder >= 0) {
      ::close(folder);
    }
    return scans;
  }
  while (const dirent* entry = ::readdir(listing)) {
    // Most descriptors are pipes, sockets and files; only a device node can be the port, and
    // reading the link is much cheaper than following it.
    std::array<char, 16> link{};
    const ssize_t length = ::readlinkat(folder, entry->d_name, link.data(), link.size());
    if (length < 5 || std::string_view(link.data(), 5) != "/dev/") {
      continue;
    }
    struct stat target {};
    if (::fstatat(folder, entry->d_name, &target, 0) != 0 || !S_ISCHR(target.st_mode)) {
      continue;
    }
    const bool master =
        major(target.st_rdev) == kPtyMasterMajor && minor(target.st_rdev) == kPtyMasterMinor;
    std::optional<int> masterOf;
    for (std::size_t i = 0; i < targets.size(); ++i) {
      if (!targets[i].valid) {
        continue;
      }
      if (target.st_rdev == targets[i].device) {
        scans[i].holdsPort = true;
      } else if (master && targets[i].ptyIndex) {
        masterOf = masterOf ? masterOf : MasterIndex(process + "/fdinfo/" + entry->d_name);
        scans[i].holdsFarEnd = scans[i].holdsFarEnd || masterOf == targets[i].ptyIndex;
      }
    }
  }
  ::closedir(listing);
  return scans;
}

std::string ProcessName(const std::string& process) {
  std::ifstream comm(process + "/comm");
  std::string name;
  std::getline(comm, name);
  return name.empty() ? "a process" : name;
}

Target TargetOf(const std::string& path) {
  struct stat node {};
  if (::stat(path.c_str(), &node) != 0 || !S_ISCHR(node.st_mode)) {
    return {};
  }
  return {node.st_rdev, PtyIndex(node.st_rdev), true};
}

}  // namespace

std::vector<std::vector<PortHolder>> FindPortHoldersOf(const std::vector<std::string>& paths) {
  std::vector<std::vector<PortHolder>> holders(paths.size());
  std::vector<Target> targets;
  targets.reserve(paths.size());
  for (const std::string& path : paths) {
    targets.push_back(TargetOf(path));
  }
  if (std::none_of(targets.begin(), targets.end(), [](const Target& t) { return t.valid; })) {
    return holders;
  }
  const int self = static_cast<int>(::getpid());
  DIR* processes = ::opendir("/proc");
  while (const dirent* entry = processes == nullptr ? nullptr : ::readdir(processes)) {
    const std::optional<int> pid = NumberIn(entry->d_name);
    if (!pid || *pid == self) {
      continue;
    }
    const std::string process = std::string("/proc/") + entry->d_name;
    const std::vector<Scan> scans = ScanProcess(process, targets);
    for (std::size_t i = 0; i < scans.size(); ++i) {
      // The process at the master's end of a pseudo-terminal is the device itself.
      if (scans[i].holdsPort && !scans[i].holdsFarEnd) {
        holders[i].push_back({*pid, ProcessName(process)});
      }
    }
  }
  if (processes != nullptr) {
    ::closedir(processes);
  }
  for (std::vector<PortHolder>& list : holders) {
    std::sort(list.begin(), list.end(),
              [](const PortHolder& a, const PortHolder& b) { return a.pid < b.pid; });
  }
  return holders;
}

}  // namespace lumaflash::serial
