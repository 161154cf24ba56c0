#pragma once

// The questions' SQL, written once for both stores: SQLite (the station) and PostgreSQL (the
// server) differ only in placeholders, how a time is bound and how a day is found.
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "core/records/questions.h"

namespace lumaflash::records::sql {

enum class Dialect { Sqlite, Postgres };

// A value bound to a placeholder: text or a number.
struct Value {
  std::optional<std::string> text;
  std::optional<int64_t> number;
};

// A statement and the values of its placeholders, in order.
struct Query {
  Dialect dialect;
  std::string text;
  std::vector<Value> values;

  // Adds a value; gives its placeholder ("?3", "$3").
  std::string Bind(Value value);
};

// True for an attempt whose start packet went out (SQL over the columns result, failed_block).
extern const char* const kStartedSql;

// SELECT `columns` of the records that pass `filter`, newest first, at most `limit` (0: all)
// after `offset`.
Query ListQuery(Dialect dialect, const std::string& columns, const RecordFilter& filter,
                std::size_t limit, std::size_t offset);

// The summary rows: day (YYYY-MM-DD), station, device_id, device_name, image, then the counts
// in the order of SummaryRow. A column not grouped by is NULL. `timeZone`: the zone's name for
// PostgreSQL; SQLite finds the day with the function lumaflash_local_day(started_at).
Query SummaryQueryText(Dialect dialect, const SummaryQuery& query, const std::string& timeZone);

// The failure rows: device_id, device_name, result, failed_block, count.
Query FailuresQuery(Dialect dialect, const RecordFilter& filter);

// An answer row of SummaryQueryText and of FailuresQuery, read through either store's row
// reader (Text, Integer and OptionalInteger of a column); a NULL text reads as empty.
template <typename Row>
SummaryRow SummaryRowOf(const Row& row) {
  return SummaryRow{.day = row.Text(0),
                    .station = row.Text(1),
                    .deviceId = row.Text(2),
                    .deviceName = row.Text(3),
                    .imageSha256 = row.Text(4),
                    .attempts = row.Integer(5),
                    .notStarted = row.Integer(6),
                    .unitsAttempted = row.Integer(7),
                    .unitsUpdated = row.Integer(8),
                    .firstPassUnits = row.Integer(9),
                    .failures = row.Integer(10),
                    .reworkAttempts = row.Integer(11),
                    .serialLessAttempts = row.Integer(12)};
}

template <typename Row>
FailureRow FailureRowOf(const Row& row) {
  return FailureRow{.deviceId = row.Text(0),
                    .deviceName = row.Text(1),
                    .result = row.Text(2),
                    .failedBlock = row.OptionalInteger(3),
                    .count = row.Integer(4)};
}

}  // namespace lumaflash::records::sql
