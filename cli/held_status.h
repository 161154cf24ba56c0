#pragma once

#include <string>
#include <utility>
#include <vector>

#include "core/update/feedback.h"

namespace lumaflash::cli {

// Passes an update's progress straight on but holds its status lines back until Release(): a
// line such as "RUN application." tells that the attempt ended, so it is shown only once the
// attempt's record is on disk.
class HeldStatus final : public Feedback {
 public:
  explicit HeldStatus(Feedback& shown) : m_shown(shown) {}

  void AddStatus(const std::string& text, bool alert) override { m_held.emplace_back(text, alert); }
  void SetProgressRange(uint32_t upper) override { m_shown.SetProgressRange(upper); }
  void SetProgressStep(uint32_t step) override { m_shown.SetProgressStep(step); }
  void SetProgressPosition(uint32_t position) override { m_shown.SetProgressPosition(position); }
  void StepProgress() override { m_shown.StepProgress(); }
  void ShowWaitCursor() override { m_shown.ShowWaitCursor(); }
  void ShowArrowCursor() override { m_shown.ShowArrowCursor(); }

  // Shows the held lines, in order.
  void Release() {
    for (const auto& [text, alert] : std::exchange(m_held, {})) {
      m_shown.AddStatus(text, alert);
    }
  }

 private:
  Feedback& m_shown;
  std::vector<std::pair<std::string, bool>> m_held;
};

}  // namespace lumaflash::cli
