#include <atomic>
#include <csignal>
#include <cstdio>
#include <filesystem>
#include <memory>

#include "commands.h"
#include "discovery/scan.h"
#include "exit_codes.h"
#include "session.h"
#include "settings/last_image.h"
#include "terminal_feedback.h"
#include "update/flash.h"

namespace lumaflash::cli {

namespace {

std::atomic<bool> g_interrupted{false};

void OnInterrupt(int) {
  g_interrupted.store(true);
}

// Ctrl+C during an update stops it between two blocks, so the port is closed in order and the
// operator is told which device was left half-written.
class InterruptGuard {
 public:
  InterruptGuard() { m_previous = std::signal(SIGINT, OnInterrupt); }
  ~InterruptGuard() { std::signal(SIGINT, m_previous); }
  InterruptGuard(const InterruptGuard&) = delete;
  InterruptGuard& operator=(const InterruptGuard&) = delete;

 private:
  void (*m_previous)(int) = SIG_DFL;
};

int ExitCodeFor(update::FlashResult result) {
  using update::FlashResult;
  switch (result) {
    case FlashResult::Success:
      return kExitOk;
    case FlashResult::NoImagePath:
    case FlashResult::ImageUnusable:
      return kExitImageUnusable;
    case FlashResult::WrongDevice:
      return kExitWrongDevice;
    case FlashResult::WrongBootloader:
    case FlashResult::UnusableBlockSize:
      return kExitNotUpdatable;
    case FlashResult::PortOpenFailed:
      return kExitPortOpenFailed;
    case FlashResult::WriteFailed:
      return kExitTransferFailed;
    case FlashResult::Interrupted:
      return kExitInterrupted;
    case FlashResult::NoSuchInterface:
      return kExitNoInterface;
  }
  return kExitFailure;
}

}  // namespace

int RunFlash(const Options& options) {
  const std::string& imagePath = options.positional[0];
  // The image is checked before any port is touched.
  {
    auto image = std::make_unique<update::FirmwareImage>();
    std::string error;
    if (!update::LoadFirmwareImage(imagePath, *image, error)) {
      std::fprintf(stderr, "lumaflash-cli: %s\n", error.c_str());
      return kExitImageUnusable;
    }
  }
  TerminalFeedback feedback(stdout);
  Session session(feedback);
  session.namedPorts = options.ports;
  session.recallLastImage = false;
  std::error_code error;
  settings::SetupSettings(session, std::filesystem::current_path(error));
  auto failures = discovery::ScanInterfaces(session);
  if (!options.ports.empty()) {
    ReportPortFailures(failures);
  }
  const std::size_t found = session.interfaces.Count();
  if (found == 0) {
    std::fprintf(stderr,
                 "lumaflash-cli: no device in bootloader mode answered. Connect one, put it in "
                 "bootloader mode and try again.\n");
    return kExitNoInterface;
  }
  if (found > 1) {
    PrintInterfaceTable(stderr, session.interfaces);
    std::fprintf(stderr,
                 "lumaflash-cli: %zu devices answered; nothing was sent. Name the one to "
                 "update with --port PATH.\n",
                 found);
    return kExitAmbiguous;
  }
  session.currentImagePath = imagePath;
  g_interrupted.store(false);
  session.cancel = &g_interrupted;
  InterruptGuard guard;
  feedback.EnableProgress(true);
  return ExitCodeFor(update::FlashInterface(session, 0).result);
}

}  // namespace lumaflash::cli
