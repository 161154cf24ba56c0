#pragma once

#include <chrono>
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "app/controller/window_view.h"
#include "core/serial/usb_identity.h"
#include "core/settings/settings.h"
#include "core/update/flash.h"

namespace lumaflash {
struct Session;
}

namespace lumaflash::records {
class Recorder;
}

namespace lumaflash::app {

// What the main window is started with.
struct WindowSetup {
  std::vector<std::string> ports;   // only these are scanned; none: the system's ports
  std::filesystem::path directory;  // the current directory: Lumaflash.ini lives here
  std::function<settings::LocalDate()> today = settings::TodayLocal;
  std::vector<serial::UsbMatch> usbFilter = {};  // only ports of these USB devices; empty: all
  // Where each update attempt is recorded; none: no records.
  std::shared_ptr<records::Recorder> recorder = nullptr;
  // An image handed to the program (lumaflash dimmer.bin, Open with, a drop on the program):
  // the first Firmware-Update opens the file dialog on it, for the operator to confirm.
  std::string handedImage = {};
};

// The keys the window treats specially; every other key is Key::Other.
enum class Key { Escape, Enter, D, Other };

// The automatic repeat: timer 1, fired once, 100 ms after window set-up.
inline constexpr int kAutoRepeatTimerId = 1;
inline constexpr std::chrono::milliseconds kAutoRepeatDelay{100};
// System commands 16 to 31 show the About box; the system-menu entry sends 16 (Windows keeps
// the four low bits of a system command for itself, so 16 to 31 all mean it).
inline constexpr unsigned kAboutCommand = 16;
inline constexpr unsigned kLastAboutCommand = 31;
// The exit status of a window stopped by a signal or the session's end, as the command line's.
inline constexpr int kInterruptedExit = 10;

// Everything the main window decides and does, without a toolkit: the interface list's texts,
// the status log, the progress bar, the cursor, the "Use last again" box, Find,
// Firmware-Update, the automatic repeat and the keys. It owns the session. Scans and updates
// run on a worker thread; their feedback comes back to the face's thread in order through
// WindowView::PostToFace() and DeliverPosted(). A face (Qt, Win32) draws what the view is told
// and forwards what the operator did; every call below is made on the face's thread.
class WindowController {
 public:
  WindowController(WindowView& view, WindowSetup setup);
  // Stops a running update between two blocks, waits for the worker, and gives the face back
  // its input and the arrow cursor.
  ~WindowController();
  WindowController(const WindowController&) = delete;
  WindowController& operator=(const WindowController&) = delete;

  // Window set-up, once the face is shown: settings, the list, the first scan and, when the
  // settings say so, timer 1 for the automatic repeat.
  void SetUp();
  // The Find button.
  void OnFind();
  // The Firmware-Update button.
  void OnFirmwareUpdate();
  // The operator ticked or unticked "Use last again".
  void OnUseLastToggled(bool ticked);
  // A timer the controller started fired.
  void OnTimer(int id);
  // A key went down (`ctrl`: with the Ctrl key). True when the face must swallow it: Esc and
  // Enter always (the window neither closes nor presses a button), Ctrl+D (the scan log).
  bool OnKey(Key key, bool ctrl);
  // A system command; true when it was one of the About commands 16 to 31 (handled), false
  // when the face passes it on to its default handling.
  bool OnSysCommand(unsigned id);
  // Runs what the worker posted, in order. The face calls it on its thread after PostToFace().
  void DeliverPosted();
  // The program was asked to end (SIGTERM, Ctrl+C, the session ending). A running update stops
  // between two blocks, its port closed with its line settings given back and its status line
  // shown, and no rescan follows; then the window closes. With nothing running it closes now.
  void OnStopRequested();
  // OnStopRequested(), then waits for the worker and delivers what it posted: when it returns
  // the port is closed. For a face that must finish before it returns to the system.
  void StopAndWait();
  // What the program ends with: kInterruptedExit once a stop was requested, otherwise 0.
  int ExitStatus() const;
  // The result of the last update attempt the window ran, once one has ended.
  std::optional<update::FlashResult> LastAttempt() const;

  bool IsSetUp() const;
  // A scan or an update is running (or its results are still to be delivered).
  bool IsBusy() const;
  // An update is running: the port is open, or about to be.
  bool IsUpdating() const;
  bool AutoRepeatArmed() const;
  const Session& WorkingState() const;

 private:
  class Impl;
  std::unique_ptr<Impl> m_impl;
};

}  // namespace lumaflash::app
