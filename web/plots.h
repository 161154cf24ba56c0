#pragma once

#include <string>
#include <vector>

#include "core/records/questions.h"

namespace lumaflash::web {

// The share of a group's units whose first started attempt succeeded, in percent; 0 without
// units.
double FirstPassYield(const records::SummaryRow& row);

// First-pass yield per day as an SVG image (role="img", with a title): one bar per row, oldest
// day at the left, its height in proportion to the yield, each labelled with its number so that
// nothing is told by colour alone. Every text is escaped.
std::string YieldPlot(std::vector<records::SummaryRow> days);

// The failures of one device type as a Pareto plot: a bar per way of failing (result and
// block), longest first, its length in proportion to the count, labelled with the count and the
// running share of all failures.
std::string ParetoPlot(const std::string& deviceLabel, std::vector<records::FailureRow> rows);

}  // namespace lumaflash::web
