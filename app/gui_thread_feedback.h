#pragma once

#include "feedback.h"

class QObject;

namespace lumaflash::app {

// Passes every report on to `target` on the thread that owns `context` (the window's). Called
// from another thread it waits until the report has been shown, so reports keep their order
// and the worker never runs ahead of what the operator sees.
class GuiThreadFeedback : public Feedback {
 public:
  GuiThreadFeedback(QObject& context, Feedback& target);

  void AddStatus(const std::string& text, bool alert) override;
  void SetProgressRange(uint32_t upper) override;
  void SetProgressStep(uint32_t step) override;
  void SetProgressPosition(uint32_t position) override;
  void StepProgress() override;
  void ShowWaitCursor() override;
  void ShowArrowCursor() override;
  void ShowInterfaces(const std::vector<InterfaceRow>& rows) override;
  void SetUseLastEnabled(bool enabled) override;
  void RefreshControls() override;

 private:
  template <typename Call>
  void OnGuiThread(Call call);

  QObject& m_context;
  Feedback& m_target;
};

}  // namespace lumaflash::app
