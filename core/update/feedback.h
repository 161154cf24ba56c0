#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace lumaflash {

// One row of the interface list, already formatted the way the list shows it.
struct InterfaceRow {
  std::string device;
  std::string version;
  std::string serial;
  std::string tooltip;  // which port the device is on and the USB device behind it
};

// What the scan and the update tell the person watching. The window, the command line and the
// tests are each one listener; every method has a do-nothing default so a listener only
// overrides what it shows.
class Feedback {
 public:
  virtual ~Feedback() = default;

  // A status line for the operator; `alert` sounds the short alert tone.
  virtual void AddStatus(const std::string& text, bool alert) {
    (void)text;
    (void)alert;
  }

  // Progress bar: the range is 0..upper, Step() advances by the step.
  virtual void SetProgressRange(uint32_t upper) { (void)upper; }
  virtual void SetProgressStep(uint32_t step) { (void)step; }
  virtual void SetProgressPosition(uint32_t position) { (void)position; }
  virtual void StepProgress() {}

  virtual void ShowWaitCursor() {}
  virtual void ShowArrowCursor() {}

  // The interface list is rebuilt from these rows; row 0 is selected when there is one.
  virtual void ShowInterfaces(const std::vector<InterfaceRow>& rows) { (void)rows; }

  // The "Use last again" check box: enabled or not, and its tick shown from the session's flag.
  virtual void SetUseLastEnabled(bool enabled) { (void)enabled; }
  virtual void RefreshControls() {}
};

}  // namespace lumaflash
