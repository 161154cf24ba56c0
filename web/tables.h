#pragma once

#include <string>
#include <vector>

#include "core/records/questions.h"

namespace lumaflash::web {

// A table as its downloads give it: the same rows, in the same order, as JSON (an array of
// objects) or CSV (a header line, then one line per row).
struct Table {
  std::vector<std::string> keys;
  std::vector<std::vector<std::string>> cells;  // JSON text of each value, per row
};

// Records with every field of the record list, under the keys of `records --json` / `--csv`.
Table RecordTable(const std::vector<records::Record>& rows);

// Summary rows under the keys of `records --summary --json`: the parts they are grouped by
// (day; station, deviceId and deviceName), the counts, and `firstPassYield` (percent, one
// decimal) last.
Table SummaryTable(const std::vector<records::SummaryRow>& rows, bool byDay);

// Failure rows: deviceId, deviceName, result, failedBlock, count.
Table FailureTable(const std::vector<records::FailureRow>& rows);

std::string TableJson(const Table& table);
std::string TableCsv(const Table& table);

}  // namespace lumaflash::web
