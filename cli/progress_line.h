#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <string>

namespace lumaflash::cli {

// Where one update stands.
struct ProgressFigures {
  uint32_t blocks = 0;  // sent so far
  uint32_t blockCount = 0;
  uint64_t bytes = 0;  // of the payload, sent so far
  uint64_t totalBytes = 0;
  std::chrono::milliseconds elapsed{0};
};

// The line a terminal redraws in place: bar, percentage, bytes, elapsed time and time left,
// shortened (bar first, then the details) to fewer than `width` characters so that it never
// wraps. A width of 0 stands for a wide terminal.
std::string ProgressLine(const ProgressFigures& figures, std::size_t width);

// The same figures as one plain line for a log or a pipe.
std::string PlainProgressLine(const ProgressFigures& figures);

}  // namespace lumaflash::cli
