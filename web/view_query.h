#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "core/platform/expected.h"
#include "core/platform/time_zone.h"
#include "core/records/record_store.h"

namespace lumaflash::web {

// What a view asks for, as its URL's query says: the filter bar, the unit searched for and the
// page of a list. The same query drives the page, its tables, its plots and their downloads.
struct ViewQuery {
  int days = 7;  // today and the N-1 days before, in the view's zone; 0: every day
  std::string station;
  std::string type;    // four hex digits, lower case
  std::string image;   // payload SHA-256 (lower case) or image path
  std::string result;  // "ok", "write-failed", ...
  std::string unit;    // a serial number or a USB serial number
  std::size_t offset = 0;
  std::size_t limit = 50;
};

inline constexpr std::size_t kMaxRows = 500;  // no list answers more rows than this at once
inline constexpr int kMaxDays = 3660;

// Why a query cannot be answered: one sentence that names the parameter and what it takes.
struct QueryError {
  std::string message;
};

// The query of a request; a value out of range or of the wrong form is refused, never guessed.
Expected<ViewQuery, QueryError> ParseViewQuery(std::string_view query);

// The records the view covers at `nowMs` (the unit is not part of it).
records::RecordFilter FilterOf(const ViewQuery& view, int64_t nowMs,
                               const platform::TimeZone& zone);

// A serial number as the records hold it ("0a 1b ff" is "0A1BFF"); nothing when `text` is not
// hexadecimal in whole bytes.
std::string NormalSerial(std::string_view text);

}  // namespace lumaflash::web
