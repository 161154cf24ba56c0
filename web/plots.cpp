#include "web/plots.h"

#include <algorithm>
#include <cstdio>

#include "web/escape.h"

namespace lumaflash::web {

namespace {

// Colours on white that pass WCAG AA: text 16:1, bars and axes more than 4.5:1.
constexpr const char* kInk = "#1a1a1a";
constexpr const char* kBar = "#1f5f8b";
constexpr const char* kAxis = "#595959";
constexpr const char* kFont = "font-family=\"sans-serif\" font-size=\"12\"";

std::string Fixed(double value, int decimals = 1) {
  char text[32];
  std::snprintf(text, sizeof text, "%.*f", decimals, value);
  return text;
}

std::string SvgOpen(int width, int height, const std::string& title) {
  return "<svg xmlns=\"http://www.w3.org/2000/svg\" role=\"img\" aria-labelledby=\"title\" "
         "width=\"" +
         std::to_string(width) + "\" height=\"" + std::to_string(height) + "\" viewBox=\"0 0 " +
         std::to_string(width) + " " + std::to_string(height) + "\">\n<title id=\"title\">" +
         HtmlEscape(title) + "</title>\n<rect width=\"100%\" height=\"100%\" fill=\"#ffffff\"/>\n";
}

std::string Text(double x, double y, const std::string& anchor, const std::string& text,
                 const std::string& extra = "") {
  return "<text x=\"" + Fixed(x) + "\" y=\"" + Fixed(y) + "\" text-anchor=\"" + anchor + "\" " +
         kFont + " fill=\"" + kInk + "\"" + extra + ">" + HtmlEscape(text) + "</text>\n";
}

std::string FailureLabel(const records::FailureRow& row) {
  return row.failedBlock ? row.result + " at block " + std::to_string(*row.failedBlock)
                         : row.result;
}

}  // namespace

double FirstPassYield(const records::SummaryRow& row) {
  return row.unitsAttempted == 0 ? 0.0
                                 : 100.0 * static_cast<double>(row.firstPassUnits) /
                                       static_cast<double>(row.unitsAttempted);
}

std::string YieldPlot(std::vector<records::SummaryRow> days) {
  std::sort(days.begin(), days.end(), [](const auto& a, const auto& b) { return a.day < b.day; });
  constexpr double kLeft = 44, kTop = 20, kPlotHeight = 180, kSlot = 56, kBarWidth = 40;
  const int width = static_cast<int>(
      kLeft + kSlot * static_cast<double>(std::max<std::size_t>(days.size(), 1)) + 16);
  const int height = static_cast<int>(kTop + kPlotHeight + 44);
  std::string svg = SvgOpen(width, height, "First-pass yield per day");
  const double bottom = kTop + kPlotHeight;
  for (int percent : {0, 50, 100}) {
    const double y = bottom - kPlotHeight * percent / 100.0;
    svg += "<line x1=\"" + Fixed(kLeft) + "\" x2=\"" + std::to_string(width - 8) + "\" y1=\"" +
           Fixed(y) + "\" y2=\"" + Fixed(y) + "\" stroke=\"" + kAxis + "\" stroke-width=\"" +
           (percent == 0 ? "1.5" : "0.5") + "\"/>\n";
    svg += Text(kLeft - 6, y + 4, "end", std::to_string(percent) + "%");
  }
  if (days.empty()) {
    svg += Text(kLeft + 8, kTop + kPlotHeight / 2, "start", "No started attempts in this view");
  }
  for (std::size_t i = 0; i < days.size(); ++i) {
    const records::SummaryRow& row = days[i];
    const double yield = FirstPassYield(row);
    const double barHeight = kPlotHeight * yield / 100.0;
    const double x = kLeft + kSlot * static_cast<double>(i) + (kSlot - kBarWidth) / 2;
    const std::string label = row.day + ": " + Fixed(yield) + "% first pass (" +
                              std::to_string(row.firstPassUnits) + " of " +
                              std::to_string(row.unitsAttempted) + " units)";
    svg += "<rect class=\"bar\" data-day=\"" + HtmlEscape(row.day) + "\" data-yield=\"" +
           Fixed(yield) + "\" x=\"" + Fixed(x) + "\" y=\"" + Fixed(bottom - barHeight) +
           "\" width=\"" + Fixed(kBarWidth) + "\" height=\"" + Fixed(barHeight) + "\" fill=\"" +
           kBar + "\"><title>" + HtmlEscape(label) + "</title></rect>\n";
    svg += Text(x + kBarWidth / 2, bottom - barHeight - 4, "middle", Fixed(yield, 0) + "%");
    svg += Text(x + kBarWidth / 2, bottom + 16, "middle", row.day.substr(5));
  }
  return svg + "</svg>\n";
}

std::string ParetoPlot(const std::string& deviceLabel, std::vector<records::FailureRow> rows) {
  std::stable_sort(rows.begin(), rows.end(),
                   [](const auto& a, const auto& b) { return a.count > b.count; });
  constexpr std::size_t kMostBars = 12;
  if (rows.size() > kMostBars) {
    records::FailureRow rest = rows[kMostBars - 1];
    rest.result = "other (" + std::to_string(rows.size() - kMostBars + 1) + " kinds)";
    rest.failedBlock.reset();
    rest.count = 0;
    for (std::size_t i = kMostBars - 1; i < rows.size(); ++i) {
      rest.count += rows[i].count;
    }
    rows.resize(kMostBars - 1);
    rows.push_back(rest);
  }
  int64_t total = 0;
  for (const auto& row : rows) {
    total += row.count;
  }
  const int64_t longest = rows.empty() ? 1 : std::max<int64_t>(rows.front().count, 1);
  constexpr double kLabelWidth = 200, kBarSpace = 300, kRow = 24, kTop = 28;
  const int width = static_cast<int>(kLabelWidth + kBarSpace + 140);
  const int height = static_cast<int>(
      kTop + kRow * static_cast<double>(std::max<std::size_t>(rows.size(), 1)) + 12);
  std::string svg = SvgOpen(width, height, "Failures of " + deviceLabel + ", most frequent first");
  svg += Text(8, 18, "start", deviceLabel, " font-weight=\"bold\"");
  if (rows.empty()) {
    svg += Text(8, kTop + 16, "start", "No failures in this view");
  }
  int64_t running = 0;
  for (std::size_t i = 0; i < rows.size(); ++i) {
    const records::FailureRow& row = rows[i];
    running += row.count;
    const double y = kTop + kRow * static_cast<double>(i);
    const double length = kBarSpace * static_cast<double>(row.count) / static_cast<double>(longest);
    const double share = 100.0 * static_cast<double>(running) / static_cast<double>(total);
    const std::string label = FailureLabel(row);
    svg += Text(kLabelWidth - 8, y + 15, "end", label);
    svg += "<rect class=\"bar\" data-label=\"" + HtmlEscape(label) + "\" data-count=\"" +
           std::to_string(row.count) + "\" x=\"" + Fixed(kLabelWidth) + "\" y=\"" + Fixed(y + 3) +
           "\" width=\"" + Fixed(length) + "\" height=\"" + Fixed(kRow - 6) + "\" fill=\"" + kBar +
           "\"><title>" + HtmlEscape(label + ": " + std::to_string(row.count)) +
           "</title></rect>\n";
    svg += Text(kLabelWidth + length + 6, y + 15, "start",
                std::to_string(row.count) + " (" + Fixed(share, 0) + "% so far)");
  }
  return svg + "</svg>\n";
}

}  // namespace lumaflash::web
