#pragma once

#include <cstdint>
#include <deque>
#include <string>
#include <vector>

#include "app/controller/face_queue.h"
#include "app/controller/window_view.h"
#include "core/session/feedback.h"

namespace lumaflash::app {

// What the scan and the update report, drawn by the face: the three status lines, the progress
// bar, the wait cursor, the interface list and the "Use last again" box. Reports come from any
// thread and are drawn on the face's thread, in order, through the face's queue; the methods
// that are not reports are for the face's thread only.
class WindowFeedback final : public session::Feedback {
 public:
  WindowFeedback(WindowView& view, FaceQueue& queue);

  void AddStatus(const std::string& text, bool alert) override;
  void SetProgressRange(uint32_t upper) override;
  void SetProgressStep(uint32_t step) override;
  void SetProgressPosition(uint32_t position) override;
  void StepProgress() override;
  void ScanStarted() override;
  void ScanEnded() override;
  void ShowInterfaces(const std::vector<discovery::InterfaceRow>& rows) override;
  void LastImageRecalled(const std::string& path, bool useLastAgain) override;
  void UpdateEnded(bool succeeded) override;

  // Window set-up: an empty list, no status lines, an empty bar and a greyed box.
  void DrawEmpty();
  void SetWaiting(bool waiting);
  bool Waiting() const { return m_waiting; }
  bool UseLastTicked() const { return m_useLastTicked; }
  void SetUseLastTicked(bool ticked) { m_useLastTicked = ticked; }

 private:
  void DrawProgress();
  void DrawUseLast();

  WindowView& m_view;
  FaceQueue& m_queue;
  // What the face shows, as the face's thread last drew it.
  std::deque<std::string> m_lines;
  uint32_t m_range = 0;
  uint32_t m_step = 1;
  uint32_t m_position = 0;
  bool m_waiting = false;
  bool m_useLastEnabled = false;
  bool m_useLastTicked = false;
};

}  // namespace lumaflash::app
