#include <spawn.h>
#include <sys/wait.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <set>
#include <string>
#include <system_error>
#include <vector>

#include "cli/exit_codes.h"
#include "cli/udev_rule.h"
#include "core/platform/file_replace.h"
#include "core/serial/device_root.h"

extern char** environ;

namespace lumaflash::cli {

namespace {

namespace fs = std::filesystem;

std::string Joined(const std::vector<std::string>& words) {
  std::string line;
  for (const std::string& word : words) {
    line += (line.empty() ? "" : " ") + word;
  }
  return line;
}

// Runs a command found on PATH and waits for it; "" when it succeeded, otherwise why not.
std::string Run(const std::vector<std::string>& command) {
  std::vector<char*> argv;
  argv.reserve(command.size() + 1);
  for (const std::string& word : command) {
    argv.push_back(const_cast<char*>(word.c_str()));
  }
  argv.push_back(nullptr);
  pid_t child = 0;
  const int error = ::posix_spawnp(&child, argv[0], nullptr, nullptr, argv.data(), environ);
  if (error != 0) {
    return std::string("could not be started: ") + std::strerror(error);
  }
  int status = 0;
  while (::waitpid(child, &status, 0) < 0 && errno == EINTR) {
  }
  if (WIFEXITED(status) && WEXITSTATUS(status) == 0) {
    return {};
  }
  return WIFEXITED(status) ? "exit status " + std::to_string(WEXITSTATUS(status))
                           : "ended by signal " + std::to_string(WTERMSIG(status));
}

// Under a device root set for a test or a chroot, the running system's udev is not ours to
// reload.
bool UnderSeam() {
  const char* root = std::getenv("LUMAFLASH_DEVICE_ROOT");
  return root != nullptr && *root != '\0';
}

std::string IdList(const std::vector<serial::UsbMatch>& ids) {
  std::string list;
  for (const serial::UsbMatch& id : ids) {
    list += (list.empty() ? "" : ", ") + UsbMatchText(id);
  }
  return list;
}

int WriteRules(const fs::path& target, const std::vector<serial::UsbMatch>& ids) {
  std::error_code ignored;
  fs::create_directories(target.parent_path(), ignored);
  const auto written = platform::ReplaceFileContent(target, UdevRules(ids), uint32_t{0644});
  if (!written) {
    const int error = written.error().osError;
    const bool denied = error == EACCES || error == EPERM || error == EROFS;
    std::fprintf(stderr, "lumaflash-cli: cannot write %s: %s. %s\n", target.c_str(),
                 std::strerror(error),
                 denied ? "Run it as root: sudo lumaflash-cli udev-rule ... --install"
                        : "Check the folder and the disk, then try again.");
    return kExitFailure;
  }
  std::printf("Wrote %s (rules for %s).\n", target.c_str(), IdList(ids).c_str());
  return kExitOk;
}

// Each vendor's ports get a change event, so that the rules apply to devices already plugged in.
std::vector<std::vector<std::string>> UdevCommands(const std::vector<serial::UsbMatch>& ids) {
  std::vector<std::vector<std::string>> commands{{"udevadm", "control", "--reload"}};
  std::set<uint16_t> vendors;
  for (const serial::UsbMatch& id : ids) {
    if (vendors.insert(id.vid).second) {
      const std::string vendor = UsbMatchText(serial::UsbMatch{id.vid, {}});
      commands.push_back({"udevadm", "trigger", "--action=change", "--subsystem-match=tty",
                          "--property-match=ID_VENDOR_ID=" + vendor.substr(0, 4)});
    }
  }
  return commands;
}

}  // namespace

int InstallUdevRules(const std::vector<serial::UsbMatch>& ids) {
  const fs::path target = serial::DeviceRoot() / kUdevRulesFile;
  if (const int written = WriteRules(target, ids); written != kExitOk) {
    return written;
  }
  if (UnderSeam()) {
    std::printf(
        "Did not reload udev: the rules went under LUMAFLASH_DEVICE_ROOT, not into the running "
        "system.\n");
    return kExitOk;
  }
  for (const std::vector<std::string>& command : UdevCommands(ids)) {
    if (const std::string failure = Run(command); !failure.empty()) {
      std::fprintf(stderr,
                   "lumaflash-cli: %s failed (%s). The rules are written but udev has not taken "
                   "them up: run the command by hand, or plug the device in again.\n",
                   Joined(command).c_str(), failure.c_str());
      return kExitFailure;
    }
    std::printf("Ran %s.\n", Joined(command).c_str());
  }
  std::printf(
      "Done. A device that still cannot be opened gets the rules when it is plugged in "
      "again.\n");
  return kExitOk;
}

}  // namespace lumaflash::cli
