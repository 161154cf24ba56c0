#pragma once

#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "app/controller/window_controller.h"
#include "core/platform/command_line.h"
#include "core/platform/expected.h"
#include "core/serial/usb_identity.h"

namespace lumaflash::app {

// What the window program was started with. Without options it scans the system's ports.
struct AppOptions {
  int simulate = 0;                   // --simulate N: N simulated devices in this process
  std::vector<std::string> ports;     // --port PATH, repeatable: only these ports are scanned
  std::vector<serial::UsbMatch> usb;  // --usb VID:PID, repeatable: only ports of these devices
  std::string records;                // --records PATH|off: the station's record store
  std::string station;                // --station NAME: the station named in the records
  std::string recordsServer;          // --records-server URI: the factory's PostgreSQL server
  std::string image;  // FILE: an image handed to the window; the first update's dialog opens on it
  bool help = false;
  bool version = false;
};

inline constexpr int kMaxSimulated = 99;  // the interface table's size

// What one face of the window can do and how it names ports; the rest of the start-up is the
// same for every face.
struct Face {
  bool canSimulate;                 // --simulate needs pseudo-terminals
  std::string_view portName;        // the placeholder in the help: "PATH", "COMn"
  std::string_view allPorts;        // what is scanned without options: "COM1 to COM256"
  std::string_view recordsDefault;  // where the records go without --records
  bool canForward;                  // --records-server: forwarding is built in
};

inline constexpr Face kQtFace{true, "PATH", "the system's serial ports",
                              "$XDG_STATE_HOME/lumaflash/records.sqlite", true};
inline constexpr Face kWin32Face{false, "COMn", "COM1 to COM256",
                                 "%LOCALAPPDATA%\\Lumaflash\\records.sqlite", true};

// What a face does once its arguments are read: either it tells `text` (on standard error when
// `error`) and ends with `exitCode`, or it opens the window with `options`.
struct StartUp {
  std::optional<int> exitCode;
  std::string text;
  bool error = false;
  AppOptions options;
};

// The one start-up of both faces: help, version, usage errors (exit 2) and what the face cannot
// do, in that order of precedence as the options are read.
StartUp PlanStartUp(const std::vector<std::string>& args, const Face& face);

// The window's set-up for `options`: the named ports followed by `simulatedPorts`, the USB
// filter, and `directory` for Lumaflash.ini.
WindowSetup SetupFor(const AppOptions& options, const std::vector<std::string>& simulatedPorts,
                     std::filesystem::path directory);

// Parses the arguments after the program name, or says in one line what is wrong with them.
Expected<AppOptions, platform::UsageError> ParseAppOptions(const std::vector<std::string>& args);

// The help text that `--help` prints on `face`.
std::string AppUsage(const Face& face);

// Whether a window can be shown: a display is named, or Qt is told which platform to use.
bool HasDisplay(const char* display, const char* waylandDisplay, const char* qpaPlatform);

}  // namespace lumaflash::app
