#pragma once

#include <cstdint>
#include <cstdio>
#include <mutex>
#include <string>
#include <vector>

#include "core/update/listener.h"

namespace lumaflash::cli {

// The progress of several updates running at once, one row per device. On a terminal every row
// is one line redrawn in place (ANSI cursor up/down), cut to the terminal's width so that it
// never wraps; otherwise each row prints a plain line
// every tenth of the way and for each status line, prefixed with the row's label. Safe to call
// from the update threads.
class ProgressBoard {
 public:
  ProgressBoard(std::FILE* out, std::vector<std::string> labels);
  ProgressBoard(std::FILE* out, std::vector<std::string> labels, bool terminal);

  void SetRange(std::size_t row, uint32_t upper);
  void Step(std::size_t row);
  // A failure's status line (`alert`) goes to standard error when the rows are plain lines.
  void Status(std::size_t row, const std::string& text, bool alert = false);

 private:
  struct Row {
    std::string label;
    uint32_t upper = 0;
    uint32_t position = 0;
    uint32_t lastTenth = 0;
    std::string status;
  };

  std::string RowText(const Row& row) const;
  void Redraw(std::size_t row);

  std::mutex m_mutex;
  std::FILE* m_out;
  bool m_terminal;
  std::size_t m_columns = 0;  // of the terminal; 0 when unknown
  std::vector<Row> m_rows;
};

// The listener one update thread reports to: its own row of the board.
class BoardFeedback : public update::UpdateListener {
 public:
  BoardFeedback(ProgressBoard& board, std::size_t row) : m_board(board), m_row(row) {}

  void AddStatus(const std::string& text, bool alert) override;
  // A failure's detail goes where its status line goes.
  void AddDetail(const std::string& text) override;
  void SetProgressRange(uint32_t upper) override { m_board.SetRange(m_row, upper); }
  void StepProgress() override { m_board.Step(m_row); }

 private:
  ProgressBoard& m_board;
  std::size_t m_row;
};

}  // namespace lumaflash::cli
