#pragma once

#include <chrono>
#include <cstdio>
#include <string>

#include "cli/progress_line.h"
#include "core/session/feedback.h"

namespace lumaflash::cli {

// Shows status lines and the progress of one update on a text stream: a line redrawn in place
// on a terminal (never wider than the terminal), a plain line every tenth of the way otherwise.
// Status lines that come with the alert are failures: they, their detail and what the same
// attempt says after them go to standard error. Control characters in a line are shown escaped.
class TerminalFeedback : public session::Feedback {
 public:
  explicit TerminalFeedback(std::FILE* out);

  void AddStatus(const std::string& text, bool alert) override;
  void AddDetail(const std::string& text) override;
  void SetProgressRange(uint32_t upper) override;
  void SetProgressPosition(uint32_t position) override;
  void StepProgress() override;

  // Progress is only drawn while enabled (the scan's is not worth showing).
  void EnableProgress(bool enabled) { m_progressEnabled = enabled; }
  // The payload's length and the device's block size, so that progress can count bytes.
  void SetTransfer(uint64_t totalBytes, uint16_t blockSize);

 private:
  void Draw();
  void EndBar();
  void Print(std::FILE* to, const std::string& text);
  ProgressFigures Figures() const;

  std::FILE* m_out;
  bool m_terminal;
  bool m_progressEnabled = false;
  bool m_barShown = false;
  bool m_completeShown = false;
  bool m_failed = false;
  uint32_t m_upper = 0;
  uint32_t m_position = 0;
  uint32_t m_lastTenth = 0;
  uint64_t m_totalBytes = 0;
  uint16_t m_blockSize = 0;
  std::chrono::steady_clock::time_point m_start;
};

}  // namespace lumaflash::cli
