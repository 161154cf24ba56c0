#include "terminal_feedback.h"

#include <unistd.h>

#include <algorithm>

namespace lumaflash::cli {

namespace {
constexpr int kBarWidth = 40;
}

TerminalFeedback::TerminalFeedback(std::FILE* out)
    : m_out(out), m_terminal(::isatty(::fileno(out)) != 0) {}

void TerminalFeedback::AddStatus(const std::string& text, bool alert) {
  (void)alert;  // a bell per message would be noise at a production bench
  EndBar();
  std::fprintf(m_out, "%s\n", text.c_str());
  std::fflush(m_out);
}

void TerminalFeedback::SetProgressRange(uint32_t upper) {
  m_upper = upper;
  m_lastTenth = 0;
}

void TerminalFeedback::SetProgressPosition(uint32_t position) {
  m_position = position;
  if (position == 0) {
    EndBar();
  }
}

void TerminalFeedback::StepProgress() {
  ++m_position;
  Draw();
}

void TerminalFeedback::Draw() {
  if (!m_progressEnabled || m_upper == 0) {
    return;
  }
  const uint32_t shown = std::min(m_position, m_upper);
  if (m_terminal) {
    const auto filled = static_cast<int>(uint64_t{shown} * kBarWidth / m_upper);
    std::fprintf(m_out, "\r[%.*s%*s] %u/%u blocks", filled,
                 "########################################", kBarWidth - filled, "", shown,
                 m_upper);
    m_barShown = true;
  } else {
    const auto tenth = static_cast<uint32_t>(uint64_t{shown} * 10 / m_upper);
    if (tenth == m_lastTenth) {
      return;
    }
    m_lastTenth = tenth;
    std::fprintf(m_out, "progress %u/%u blocks\n", shown, m_upper);
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
