#pragma once

#include <optional>
#include <string>
#include <vector>

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

// Parses the arguments after the program name; nothing (and `error` set) for anything unknown.
std::optional<AppOptions> ParseAppOptions(const std::vector<std::string>& args, std::string& error);

// Whether a window can be shown: a display is named, or Qt is told which platform to use.
bool HasDisplay(const char* display, const char* waylandDisplay, const char* qpaPlatform);

extern const char* const kAppUsage;

}  // namespace lumaflash::app
