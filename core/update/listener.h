#pragma once

#include <cstdint>
#include <string>

namespace lumaflash::update {

// What an update tells the person watching: status lines, the progress bar and its end. Every
// method has a do-nothing default so a listener only overrides what it shows.
class UpdateListener {
 public:
  virtual ~UpdateListener() = default;

  // A status line for the operator; `alert` sounds the short alert tone.
  virtual void AddStatus(const std::string& text, bool alert) {
    (void)text;
    (void)alert;
  }

  // What exactly went wrong, told just before the status line of the failure it explains (why
  // the port could not be opened, how the device vanished): a plain status line, unless the
  // listener shows failures apart.
  virtual void AddDetail(const std::string& text) { AddStatus(text, false); }

  // Progress bar: the range is 0..upper, Step() advances by the step.
  virtual void SetProgressRange(uint32_t upper) { (void)upper; }
  virtual void SetProgressStep(uint32_t step) { (void)step; }
  virtual void SetProgressPosition(uint32_t position) { (void)position; }
  virtual void StepProgress() {}

  // Every block was acknowledged and the run packet sent: the update has succeeded. Comes
  // during the device's pause to start (kRunPause), before the port is closed and before
  // UpdateEnded(true); what it does within the pause costs the update no time.
  virtual void Succeeded() {}

  // An update ended, after its last status line. `succeeded` is false also when it was refused
  // before anything was sent; an update that had no image to start from reports nothing.
  virtual void UpdateEnded(bool succeeded) { (void)succeeded; }
};

}  // namespace lumaflash::update
