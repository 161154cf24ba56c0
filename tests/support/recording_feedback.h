#pragma once

#include <algorithm>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

#include "core/session/feedback.h"

namespace lumaflash::testing {

// Keeps what the core reported, for tests to look at.
class RecordingFeedback : public session::Feedback {
 public:
  struct Status {
    std::string text;
    bool alert;
  };

  void AddStatus(const std::string& text, bool alert) override {
    std::lock_guard lock(m_mutex);
    statuses.push_back({text, alert});
  }
  void SetProgressRange(uint32_t upper) override { progressRange = upper; }
  void SetProgressPosition(uint32_t /*position*/) override {}
  void StepProgress() override {
    if (++progressSteps; onStep) {
      onStep(progressSteps);
    }
  }
  void UpdateEnded(bool succeeded) override { failedUpdates += succeeded ? 0 : 1; }
  void LastImageRecalled(const std::string& /*path*/, bool /*useLastAgain*/) override {
    lastImageRecalled = true;
  }

  std::vector<std::string> Texts() const {
    std::lock_guard lock(m_mutex);
    std::vector<std::string> texts;
    for (const Status& status : statuses) {
      texts.push_back(status.text);
    }
    return texts;
  }
  bool Said(const std::string& text) const { return std::ranges::count(Texts(), text) > 0; }

  std::vector<Status> statuses;
  std::function<void(uint32_t)> onStep;  // called after each step, with the steps so far
  uint32_t progressRange = 0;
  uint32_t progressSteps = 0;
  int failedUpdates = 0;
  bool lastImageRecalled = false;

 private:
  mutable std::mutex m_mutex;
};

}  // namespace lumaflash::testing
