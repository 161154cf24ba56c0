#pragma once

#include <mutex>
#include <string>
#include <vector>

#include "feedback.h"

namespace lumaflash::testing {

// Keeps everything the core reported, for tests to look at.
class RecordingFeedback : public Feedback {
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
  void SetProgressPosition(uint32_t position) override { progressPosition = position; }
  void StepProgress() override {
    ++progressSteps;
    ++progressPosition;
  }
  void ShowWaitCursor() override { ++waitCursors; }
  void ShowArrowCursor() override { ++arrowCursors; }
  void ShowInterfaces(const std::vector<InterfaceRow>& shown) override { rows = shown; }
  void SetUseLastEnabled(bool enabled) override { useLastEnabled = enabled; }

  std::vector<std::string> Texts() const {
    std::lock_guard lock(m_mutex);
    std::vector<std::string> texts;
    for (const Status& status : statuses) {
      texts.push_back(status.text);
    }
    return texts;
  }
  bool Said(const std::string& text) const {
    for (const std::string& said : Texts()) {
      if (said == text) {
        return true;
      }
    }
    return false;
  }

  std::vector<Status> statuses;
  std::vector<InterfaceRow> rows;
  uint32_t progressRange = 0;
  uint32_t progressPosition = 0;
  uint32_t progressSteps = 0;
  int waitCursors = 0;
  int arrowCursors = 0;
  bool useLastEnabled = false;

 private:
  mutable std::mutex m_mutex;
};

}  // namespace lumaflash::testing
