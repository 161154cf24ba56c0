#pragma once

#include <cstdio>
#include <string>

#include "feedback.h"

namespace lumaflash::cli {

// Shows status lines and the progress of one update on a text stream: a bar redrawn in place on
// a terminal, a plain line every tenth of the way otherwise.
class TerminalFeedback : public Feedback {
 public:
  explicit TerminalFeedback(std::FILE* out);

  void AddStatus(const std::string& text, bool alert) override;
  void SetProgressRange(uint32_t upper) override;
  void SetProgressPosition(uint32_t position) override;
  void StepProgress() override;

  // Progress is only drawn while enabled (the scan's is not worth showing).
  void EnableProgress(bool enabled) { m_progressEnabled = enabled; }

 private:
  void Draw();
  void EndBar();

  std::FILE* m_out;
  bool m_terminal;
  bool m_progressEnabled = false;
  bool m_barShown = false;
  uint32_t m_upper = 0;
  uint32_t m_position = 0;
  uint32_t m_lastTenth = 0;
};

}  // namespace lumaflash::cli
