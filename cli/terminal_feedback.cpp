#include "cli/terminal_feedback.h"

#include <algorithm>

#include "cli/terminal.h"
#include "core/platform/text_path.h"

namespace lumaflash::cli {

TerminalFeedback::TerminalFeedback(std::FILE* out) : m_out(out), m_terminal(IsTerminal(out)) {}

void TerminalFeedback::AddStatus(const std::string& text, bool alert) {
  // No bell: a beep per message would be noise at a production bench.
  if (!alert && m_upper > 0 && m_position >= m_upper && !m_completeShown) {
    // The core steps before each block, so the last one is known to be through only now.
    m_completeShown = true;
    ++m_position;
    Draw();
  }
  EndBar();
  // What follows a failure's line belongs with it.
  m_failed = m_failed || alert;
  Print(m_failed ? stderr : m_out, text);
}

// The detail of a failure goes where the failure's line goes, just before it.
void TerminalFeedback::AddDetail(const std::string& text) {
  EndBar();
  Print(stderr, text);
}

// A line may carry a path or a name from a device: its control characters are shown escaped, so
// they cannot move the cursor or retitle the terminal.
void TerminalFeedback::Print(std::FILE* to, const std::string& text) {
  std::fprintf(to, "%s\n", platform::EscapeControls(text).c_str());
  std::fflush(to);
}

void TerminalFeedback::SetProgressRange(uint32_t upper) {
  m_upper = upper;
  m_lastTenth = 0;
  m_completeShown = false;
  m_failed = false;
  m_start = std::chrono::steady_clock::now();
}

void TerminalFeedback::SetProgressPosition(uint32_t position) {
  m_position = position;
  if (position == 0) {
    EndBar();
  }
}

void TerminalFeedback::SetTransfer(uint64_t totalBytes, uint16_t blockSize) {
  m_totalBytes = totalBytes;
  m_blockSize = blockSize;
}

void TerminalFeedback::StepProgress() {
  ++m_position;
  Draw();
}

// The block just stepped to is on its way: the figures count the ones before it as sent.
ProgressFigures TerminalFeedback::Figures() const {
  ProgressFigures figures;
  figures.blockCount = m_upper;
  figures.blocks = std::min(m_position == 0 ? 0 : m_position - 1, m_upper);
  figures.totalBytes = m_totalBytes;
  figures.bytes = std::min<uint64_t>(uint64_t{figures.blocks} * m_blockSize, m_totalBytes);
  figures.elapsed = std::chrono::duration_cast<std::chrono::milliseconds>(
      std::chrono::steady_clock::now() - m_start);
  return figures;
}

void TerminalFeedback::Draw() {
  if (!m_progressEnabled || m_upper == 0) {
    return;
  }
  const ProgressFigures figures = Figures();
  if (m_terminal) {
    // Clear to the end of the line: the new text may be shorter than the last.
    std::fprintf(m_out, "\r%s\x1b[K", ProgressLine(figures, TerminalColumns(m_out)).c_str());
    m_barShown = true;
  } else {
    const auto tenth = static_cast<uint32_t>(uint64_t{figures.blocks} * 10 / m_upper);
    if (tenth == m_lastTenth) {
      return;
    }
    m_lastTenth = tenth;
    std::fprintf(m_out, "%s\n", PlainProgressLine(figures).c_str());
  }
  std::fflush(m_out);
}

void TerminalFeedback::EndBar() {
  if (m_barShown) {
    std::fputc('\n', m_out);
    m_barShown = false;
  }
}

}  // namespace lumaflash::cli
