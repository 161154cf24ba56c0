#include "app/controller/window_feedback.h"

#include <algorithm>

#include "core/platform/text_path.h"

namespace lumaflash::app {

namespace {

constexpr std::size_t kStatusLines = 3;

}  // namespace

WindowFeedback::WindowFeedback(WindowView& view, FaceQueue& queue) : m_view(view), m_queue(queue) {}

// A line may carry a path or a device's text: its control characters are shown escaped.
void WindowFeedback::AddStatus(const std::string& text, bool alert) {
  m_queue.Post([this, text = platform::EscapeControls(text), alert] {
    m_lines.push_back(text);
    while (m_lines.size() > kStatusLines) {
      m_lines.pop_front();
    }
    m_view.ShowStatus({m_lines.begin(), m_lines.end()});
    if (alert) {
      m_view.SoundAlert();
    }
  });
}

void WindowFeedback::SetProgressRange(uint32_t upper) {
  m_queue.Post([this, upper] {
    m_range = upper;
    DrawProgress();
  });
}

void WindowFeedback::SetProgressStep(uint32_t step) {
  m_queue.Post([this, step] { m_step = step; });
}

void WindowFeedback::SetProgressPosition(uint32_t position) {
  m_queue.Post([this, position] {
    m_position = position;
    DrawProgress();
  });
}

void WindowFeedback::StepProgress() {
  m_queue.Post([this] {
    m_position = static_cast<uint32_t>(
        std::min<uint64_t>(m_range, uint64_t{std::min(m_position, m_range)} + m_step));
    DrawProgress();
  });
}

void WindowFeedback::ScanStarted() {
  m_queue.Post([this] { SetWaiting(true); });
}

void WindowFeedback::ScanEnded() {
  m_queue.Post([this] { SetWaiting(false); });
}

// A new list has no image recalled for it yet: the box stays greyed until one is.
void WindowFeedback::ShowInterfaces(const std::vector<discovery::InterfaceRow>& rows) {
  std::vector<ListRow> shown;
  shown.reserve(rows.size());
  for (const discovery::InterfaceRow& row : rows) {
    shown.push_back({row.device, row.version, row.serial, row.tooltip});
  }
  m_queue.Post([this, shown = std::move(shown)] {
    m_view.ShowRows(shown, shown.empty() ? -1 : 0);
    m_useLastEnabled = false;
    DrawUseLast();
  });
}

void WindowFeedback::LastImageRecalled(const std::string& /*path*/, bool useLastAgain) {
  m_queue.Post([this, useLastAgain] {
    m_useLastEnabled = true;
    m_useLastTicked = useLastAgain;
    DrawUseLast();
  });
}

// A failed update gives the arrow back at once; a successful one shows the box as it was used,
// and the scan after it sets the cursor.
void WindowFeedback::UpdateEnded(bool succeeded) {
  m_queue.Post([this, succeeded] { succeeded ? DrawUseLast() : SetWaiting(false); });
}

void WindowFeedback::DrawEmpty() {
  m_view.ShowRows({}, -1);
  m_view.ShowStatus({});
  DrawProgress();
  DrawUseLast();
}

void WindowFeedback::SetWaiting(bool waiting) {
  if (waiting != m_waiting) {
    m_waiting = waiting;
    m_view.ShowWaitCursor(waiting);
  }
}

// An empty range shows an empty bar, never the "busy" animation.
void WindowFeedback::DrawProgress() {
  m_view.ShowProgress(std::max<uint32_t>(m_range, 1), std::min(m_position, m_range));
}

void WindowFeedback::DrawUseLast() {
  m_view.ShowUseLast(m_useLastEnabled, m_useLastTicked);
}

}  // namespace lumaflash::app
