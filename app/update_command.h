#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <string>

namespace lumaflash {
struct Session;
}

namespace lumaflash::app {

// The automatic repeat: timer 1, fired once, 100 ms after window set-up.
inline constexpr int kAutoRepeatTimerId = 1;
inline constexpr std::chrono::milliseconds kAutoRepeatDelay{100};

inline constexpr const char* kWrongSelection = "Wrong interface selection !";
// The file dialog: image files only, and a name typed without extension gets ".bin".
inline constexpr const char* kFirmwareFilter = "Firmware File (*.bin)";
inline constexpr const char* kFirmwareSuffix = "bin";

enum class UpdatePath {
  WrongSelection,  // not exactly one row selected: reported, nothing else happens
  UseLast,         // "Use last again" is on and there is a current image: update from it
  AskForFile,      // the operator picks the image in the file dialog first
};

struct UpdatePlan {
  UpdatePath path = UpdatePath::WrongSelection;
  int index = -1;           // the interface to update: the first selected row
  uint16_t deviceId = 0;    // its type, which names the settings section
  std::string initialName;  // the file dialog's initial name: the type's last image or "DIR/*.bin"
};

// The first half of the Firmware-Update command, after the window has taken the flag from the
// check box: checks the selection, and writes USE_LAST_AGAIN for the chosen path ("1" to use the
// last image, "0" when the file dialog is to be shown). "Wrong interface selection !" is
// reported with the alert when `selectedCount` is not 1 or the row is not in the table.
UpdatePlan PlanUpdate(Session& session, std::size_t selectedCount, int firstSelected);

// The operator confirmed the file dialog with `path`: it becomes the current image and the
// type's LAST_OPEN.
void AcceptChosenImage(Session& session, const UpdatePlan& plan, const std::string& path);

// The Find command. Ports the operator named and that could not be opened are each reported
// with the reason (busy, permission denied, no such port), so that a mistyped or taken port
// does not just look like a missing device. The system's ports are walked silently.
void ScanAndReport(Session& session);

// Updates interface `index` from the current image, then rescans whatever the outcome. True
// when the update succeeded: the window ends then.
bool UpdateAndRescan(Session& session, int index);

// Where the file dialog opens and what name it offers: a pattern such as "DIR/*.bin" names only
// the directory, a file name is offered as it is.
struct InitialLocation {
  std::string directory;
  std::string fileName;
};
InitialLocation SplitInitialName(const std::string& initialName);

// Timer 1 of the window: armed at most once, at set-up, and fires once.
class AutoRepeat {
 public:
  void Arm(bool due) { m_armed = due; }
  bool Armed() const { return m_armed; }
  // True when `timerId` is the armed repeat timer; it is disarmed then, so it never fires twice.
  bool Fire(int timerId);

 private:
  bool m_armed = false;
};

}  // namespace lumaflash::app
