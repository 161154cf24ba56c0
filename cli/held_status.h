#pragma once

#include <functional>
#include <string>
#include <utility>
#include <vector>

#include "core/update/listener.h"

namespace lumaflash::cli {

// Passes an update's progress straight on until a status line that tells how it ended (an alert,
// or any line once blocks went out), then holds that line and everything after it until
// Release(): a line such as "RUN application." tells that the attempt
// ended, so it is shown only once the attempt's record is on disk, and what followed it keeps
// its order.
class HeldStatus final : public update::UpdateListener {
 public:
  explicit HeldStatus(update::UpdateListener& shown) : m_shown(shown) {}

  void AddStatus(const std::string& text, bool alert) override {
    // A plain line before the first block (waiting for a port's holders) tells of no ending.
    if (!alert && !m_stepped && m_held.empty()) {
      m_shown.AddStatus(text, alert);
      return;
    }
    m_held.emplace_back([this, text, alert] { m_shown.AddStatus(text, alert); });
  }
  void SetProgressRange(uint32_t upper) override {
    Pass([this, upper] { m_shown.SetProgressRange(upper); });
  }
  void SetProgressStep(uint32_t step) override {
    Pass([this, step] { m_shown.SetProgressStep(step); });
  }
  void SetProgressPosition(uint32_t position) override {
    Pass([this, position] { m_shown.SetProgressPosition(position); });
  }
  void StepProgress() override {
    m_stepped = true;
    Pass([this] { m_shown.StepProgress(); });
  }
  void UpdateEnded(bool succeeded) override {
    Pass([this, succeeded] { m_shown.UpdateEnded(succeeded); });
  }

  // Shows what was held, in order.
  void Release() {
    for (const auto& call : std::exchange(m_held, {})) {
      call();
    }
  }

 private:
  void Pass(std::function<void()> call) {
    if (m_held.empty()) {
      call();
    } else {
      m_held.push_back(std::move(call));
    }
  }

  update::UpdateListener& m_shown;
  std::vector<std::function<void()>> m_held;
  bool m_stepped = false;
};

}  // namespace lumaflash::cli
