#pragma once

#include <chrono>
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <stop_token>
#include <string>
#include <vector>

#include "core/image/firmware_image.h"
#include "core/protocol/interface_table.h"
#include "core/records/recorder.h"
#include "core/serial/port_holders.h"
#include "core/serial/usb_identity.h"
#include "core/session/feedback.h"
#include "core/settings/settings.h"

namespace lumaflash::session {

// The working state of one run of the program: what the window (or the command line) and the
// scan, the update and the settings share. It holds no GUI and no open port: ports are opened
// for the span of one scan step or one update.
struct Session {
  explicit Session(Feedback& listener) : feedback(listener) {}

  Feedback& feedback;
  protocol::InterfaceTable interfaces;
  std::string scanLog;

  // Ports the scan walks: the named ones, or the system's when none are named.
  std::vector<std::string> namedPorts;
  // Only ports whose USB identity passes this filter are opened; empty: every port.
  std::vector<serial::UsbMatch> usbFilter;

  std::filesystem::path currentDirectory;
  std::string currentImagePath;
  bool useLastAgain = false;
  // Whether a scan that finds one interface recalls its last image (the window does; a plain
  // command-line scan does not).
  bool recallLastImage = true;

  std::optional<settings::AppSettings> settings;
  bool settingsErrorReported = false;
  // What the last settings read or write through the session said went wrong; empty after one
  // that worked.
  std::string lastSettingsProblem;
  std::function<settings::LocalDate()> today = settings::TodayLocal;

  // How long an update waits for another program to let go of the port.
  std::chrono::milliseconds holderWait = serial::kDefaultHolderWait;

  // A stop requested on it (from another thread: Ctrl+C, the window closing) ends an update
  // between two blocks.
  std::stop_token stop;

  // Where each update attempt is recorded; none: no records.
  records::Recorder* recorder = nullptr;

  std::unique_ptr<image::FirmwareImage> image = std::make_unique<image::FirmwareImage>();
};

}  // namespace lumaflash::session
