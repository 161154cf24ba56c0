#pragma once

#include <array>
#include <chrono>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace lumaflash::app {

// The interface list's columns: heading and width in pixels.
struct ListColumn {
  const char* heading;
  int width;
};
inline constexpr std::array<ListColumn, 3> kListColumns{
    {{"Device", 200}, {"Version", 50}, {"Serial", 180}}};

// One row of the interface list as the face shows it.
struct ListRow {
  std::string device;
  std::string version;
  std::string serial;
  std::string tooltip;  // shown when the pointer rests on the row; may be empty
};

// What the Firmware-Update command asks the file-open dialog for. The chosen file must exist.
struct FileRequest {
  std::string initialName;  // the type's last image, or "DIR/*.bin"
  // The same split for dialogs that take them apart: where it opens, and the file name it
  // offers ("" when the initial name is a pattern).
  std::string directory;
  std::string fileName;
  std::string filter = "Firmware File (*.bin)";  // the filter's text
  std::string pattern = "*.bin";                 // the files it lists
  std::string defaultExtension = "bin";          // added to a name typed without one
};

// What a face of the main window draws and does when the controller says so. Every call but
// PostToFace() comes on the face's own thread (the one that made the controller). Texts are
// UTF-8.
class WindowView {
 public:
  virtual ~WindowView() = default;

  // The interface list: exactly these rows, in order, with row `selected` selected (and the
  // current one), or none when `selected` is -1.
  virtual void ShowRows(const std::vector<ListRow>& rows, int selected) = 0;
  // The rows the operator has selected now, rising.
  virtual std::vector<int> SelectedRows() const = 0;

  // The status log: these lines (at most three), oldest first, the newest visible.
  virtual void ShowStatus(const std::vector<std::string>& lines) = 0;
  // The short alert tone.
  virtual void SoundAlert() = 0;

  // The progress bar: `position` of 0..`upper`. `upper` is never 0 and `position` never above
  // it, so a bar never shows its "busy" animation.
  virtual void ShowProgress(uint32_t upper, uint32_t position) = 0;

  // The wait cursor over the whole program (true) or the arrow (false).
  virtual void ShowWaitCursor(bool waiting) = 0;

  // The "Use last again" check box: enabled or not, ticked or not.
  virtual void ShowUseLast(bool enabled, bool ticked) = 0;

  // While a scan or an update runs the window keeps painting but takes no input (keys, mouse,
  // closing); false holds input back, true lets it through again.
  virtual void EnableInput(bool enabled) = 0;

  // Timer `id`: fires OnTimer(id) every `interval` until stopped.
  virtual void StartTimer(int id, std::chrono::milliseconds interval) = 0;
  virtual void StopTimer(int id) = 0;

  // Ends the window as if it had been cancelled; the program ends with it.
  virtual void CloseWindow() = 0;

  // A modal message box with the text (lines end with "\n") and only an OK button.
  virtual void ShowMessage(const std::string& text) = 0;
  // The modal About box.
  virtual void ShowAbout() = 0;
  // The modal file-open dialog: the chosen file's full path, or nothing when cancelled.
  virtual std::optional<std::string> ChooseFile(const FileRequest& request) = 0;

  // Called from the controller's worker thread, or from the face's own: the face must call
  // WindowController::DeliverPosted() on its thread soon (a queued call, a posted message).
  // Must not wait for the face's thread.
  virtual void PostToFace() = 0;
};

}  // namespace lumaflash::app
