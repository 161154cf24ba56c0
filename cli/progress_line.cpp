#include "cli/progress_line.h"

#include <algorithm>
#include <cstdio>

namespace lumaflash::cli {

namespace {

constexpr std::size_t kWideTerminal = 80;
constexpr std::size_t kLongestBar = 30;
constexpr std::size_t kShortestBar = 8;

unsigned Percent(const ProgressFigures& figures) {
  if (figures.blockCount == 0) {
    return 0;
  }
  const uint32_t shown = std::min(figures.blocks, figures.blockCount);
  return static_cast<unsigned>(uint64_t{shown} * 100 / figures.blockCount);
}

std::string Clock(std::chrono::milliseconds span) {
  const auto seconds = static_cast<long long>(span.count() / 1000);
  char text[32];
  std::snprintf(text, sizeof text, "%lld:%02lld", seconds / 60, seconds % 60);
  return text;
}

// The time left from the pace so far; "?" before the first block has gone.
std::string TimeLeft(const ProgressFigures& figures) {
  if (figures.bytes == 0 || figures.bytes > figures.totalBytes) {
    return "?";
  }
  const auto left = figures.elapsed * static_cast<long long>(figures.totalBytes - figures.bytes) /
                    static_cast<long long>(figures.bytes);
  return Clock(left);
}

std::string Kib(uint64_t bytes) {
  char text[32];
  std::snprintf(text, sizeof text, "%.1f", static_cast<double>(bytes) / 1024.0);
  return text;
}

std::string Bar(const ProgressFigures& figures, std::size_t width) {
  const auto filled = static_cast<std::size_t>(uint64_t{Percent(figures)} * width / 100);
  return "[" + std::string(filled, '#') + std::string(width - filled, ' ') + "] ";
}

}  // namespace

std::string ProgressLine(const ProgressFigures& figures, std::size_t width) {
  const std::size_t room = (width == 0 ? kWideTerminal : width) - 1;
  char percent[8];
  std::snprintf(percent, sizeof percent, "%3u%%", Percent(figures));
  const std::string bytes = Kib(figures.bytes) + "/" + Kib(figures.totalBytes) + " KiB";
  const std::string elapsed = Clock(figures.elapsed);
  const std::string left = TimeLeft(figures) + " left";
  // From the most to the least detailed: the first that fits is drawn, with a bar when there is
  // room for one. Every figure goes before the bar does.
  const std::string details[] = {
      std::string(percent) + "  " + bytes + "  " + elapsed + " elapsed, " + left,
      std::string(percent) + " " + bytes + " " + elapsed + ", " + left,
      std::string(percent) + " " + elapsed + ", " + left,
      std::string(percent) + " " + left,
      std::string(percent),
  };
  for (std::size_t i = 0; i < std::size(details); ++i) {
    const std::string& detail = details[i];
    if (detail.size() + kShortestBar + 3 <= room) {
      return Bar(figures, std::min(kLongestBar, room - detail.size() - 3)) + detail;
    }
    if (i > 0 && detail.size() <= room) {
      return detail;
    }
  }
  return std::string(percent).substr(0, room);
}

std::string PlainProgressLine(const ProgressFigures& figures) {
  return "progress " + std::to_string(Percent(figures)) + "%: " + std::to_string(figures.bytes) +
         "/" + std::to_string(figures.totalBytes) + " bytes, block " +
         std::to_string(figures.blocks) + "/" + std::to_string(figures.blockCount) + ", " +
         Clock(figures.elapsed) + " elapsed, " + TimeLeft(figures) + " left";
}

}  // namespace lumaflash::cli
