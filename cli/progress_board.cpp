#include "cli/progress_board.h"

#include <algorithm>

#include "cli/terminal.h"
#include "core/platform/text_path.h"

namespace lumaflash::cli {

namespace {
constexpr int kBarWidth = 30;
constexpr const char* kFilled = "##############################";
}  // namespace

ProgressBoard::ProgressBoard(std::FILE* out, std::vector<std::string> labels)
    : ProgressBoard(out, std::move(labels), IsTerminal(out)) {}

ProgressBoard::ProgressBoard(std::FILE* out, std::vector<std::string> labels, bool terminal)
    : m_out(out), m_terminal(terminal), m_columns(terminal ? TerminalColumns(out) : 0) {
  std::size_t width = 0;
  for (const std::string& label : labels) {
    width = std::max(width, label.size());
  }
  for (std::string& label : labels) {
    label.resize(width, ' ');
    Row row;
    row.label = std::move(label);
    m_rows.push_back(std::move(row));
  }
  if (m_terminal) {
    // The rows are laid down once; from then on the cursor waits below the last one.
    for (const Row& row : m_rows) {
      std::fprintf(m_out, "%s\n", RowText(row).c_str());
    }
    std::fflush(m_out);
  }
}

std::string ProgressBoard::RowText(const Row& row) const {
  const uint32_t shown = row.upper == 0 ? 0 : std::min(row.position, row.upper);
  const int filled = row.upper == 0 ? 0 : static_cast<int>(uint64_t{shown} * kBarWidth / row.upper);
  char bar[96];
  std::snprintf(bar, sizeof bar, " [%.*s%*s] %u/%u", filled, kFilled, kBarWidth - filled, "", shown,
                row.upper);
  std::string text = row.label + bar;
  if (!row.status.empty()) {
    text += "  " + row.status;
  }
  if (m_columns > 0 && text.size() >= m_columns) {
    text.resize(m_columns - 1);
  }
  return text;
}

void ProgressBoard::Redraw(std::size_t row) {
  const std::size_t up = m_rows.size() - row;
  // Up to the row, rewrite it, clear what is left of the old text, and back down.
  std::fprintf(m_out, "\x1b[%zuA\r%s\x1b[K\x1b[%zuB\r", up, RowText(m_rows[row]).c_str(), up);
  std::fflush(m_out);
}

void ProgressBoard::SetRange(std::size_t row, uint32_t upper) {
  std::lock_guard lock(m_mutex);
  m_rows[row].upper = upper;
  m_rows[row].position = 0;
  m_rows[row].lastTenth = 0;
  if (m_terminal) {
    Redraw(row);
  }
}

void ProgressBoard::Step(std::size_t row) {
  std::lock_guard lock(m_mutex);
  Row& r = m_rows[row];
  ++r.position;
  if (m_terminal) {
    Redraw(row);
    return;
  }
  if (r.upper == 0) {
    return;
  }
  const auto tenth = static_cast<uint32_t>(uint64_t{std::min(r.position, r.upper)} * 10 / r.upper);
  if (tenth != r.lastTenth) {
    r.lastTenth = tenth;
    std::fprintf(m_out, "%s progress %u/%u blocks\n", r.label.c_str(),
                 std::min(r.position, r.upper), r.upper);
    std::fflush(m_out);
  }
}

void ProgressBoard::Status(std::size_t row, const std::string& text, bool alert) {
  std::lock_guard lock(m_mutex);
  // A path or a device's text: its control characters are shown escaped.
  m_rows[row].status = platform::EscapeControls(text);
  if (m_terminal) {
    Redraw(row);
  } else {
    std::FILE* to = alert ? stderr : m_out;
    std::fprintf(to, "%s %s\n", m_rows[row].label.c_str(), m_rows[row].status.c_str());
    std::fflush(to);
  }
}

void BoardFeedback::AddStatus(const std::string& text, bool alert) {
  m_board.Status(m_row, text, alert);
}

void BoardFeedback::AddDetail(const std::string& text) {
  m_board.Status(m_row, text, true);
}

}  // namespace lumaflash::cli
