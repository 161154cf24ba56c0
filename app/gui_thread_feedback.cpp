#include "gui_thread_feedback.h"

#include <QMetaObject>
#include <QObject>
#include <QThread>

namespace lumaflash::app {

GuiThreadFeedback::GuiThreadFeedback(QObject& context, Feedback& target)
    : m_context(context), m_target(target) {}

template <typename Call>
void GuiThreadFeedback::OnGuiThread(Call call) {
  if (QThread::currentThread() == m_context.thread()) {
    call();
    return;
  }
  QMetaObject::invokeMethod(&m_context, call, Qt::BlockingQueuedConnection);
}

void GuiThreadFeedback::AddStatus(const std::string& text, bool alert) {
  OnGuiThread([&] { m_target.AddStatus(text, alert); });
}

void GuiThreadFeedback::SetProgressRange(uint32_t upper) {
  OnGuiThread([&] { m_target.SetProgressRange(upper); });
}

void GuiThreadFeedback::SetProgressStep(uint32_t step) {
  OnGuiThread([&] { m_target.SetProgressStep(step); });
}

void GuiThreadFeedback::SetProgressPosition(uint32_t position) {
  OnGuiThread([&] { m_target.SetProgressPosition(position); });
}

void GuiThreadFeedback::StepProgress() {
  OnGuiThread([&] { m_target.StepProgress(); });
}

void GuiThreadFeedback::ShowWaitCursor() {
  OnGuiThread([&] { m_target.ShowWaitCursor(); });
}

void GuiThreadFeedback::ShowArrowCursor() {
  OnGuiThread([&] { m_target.ShowArrowCursor(); });
}

void GuiThreadFeedback::ShowInterfaces(const std::vector<InterfaceRow>& rows) {
  OnGuiThread([&] { m_target.ShowInterfaces(rows); });
}

void GuiThreadFeedback::SetUseLastEnabled(bool enabled) {
  OnGuiThread([&] { m_target.SetUseLastEnabled(enabled); });
}

void GuiThreadFeedback::RefreshControls() {
  OnGuiThread([&] { m_target.RefreshControls(); });
}

}  // namespace lumaflash::app
