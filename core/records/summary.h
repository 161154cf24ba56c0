#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "core/records/record.h"

namespace lumaflash::records {

// One day (UTC) and one device type of a line's work. A unit is told apart by its serial
// number, else the serial number of its USB port, else its port.
struct SummaryRow {
  std::string day;       // "2026-12-08"
  std::string deviceId;  // four hex digits, or "-" when the device was never identified
  std::string deviceName;
  int64_t attempts = 0;
  int64_t unitsUpdated = 0;    // units with at least one successful attempt that day
  int64_t failures = 0;        // attempts that did not end "ok"
  int64_t unitsAttempted = 0;  // units with any attempt that day
  int64_t firstPassUnits = 0;  // units whose first attempt that day succeeded
};

// Rows newest day first, device types in order within a day; `records` in any order.
std::vector<SummaryRow> Summarize(std::vector<Record> records);

}  // namespace lumaflash::records
