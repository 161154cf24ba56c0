#pragma once

#include <vector>

#include "cli/options.h"
#include "core/platform/time_zone.h"
#include "core/records/questions.h"

namespace lumaflash::cli {

// How `records` prints what a store answers: as a table for people (times on `zone`'s clock),
// or as JSON lines or CSV (times in UTC) when the options ask for them.

// Prints the records that pass `filter` as they are read; stops when standard output is gone.
records::RecordsResult<void> PrintListing(records::RecordQuestions& questions,
                                          const records::RecordFilter& filter,
                                          const Options& options, const platform::TimeZone& zone);

// What --by asks a summary to group by, in the order given; by day and type when it says nothing.
std::vector<records::GroupBy> GroupsOf(const Options& options);

// The summary rows, with each unit's first-pass yield.
void PrintSummary(const std::vector<records::SummaryRow>& rows, const Options& options);

// Each station's last record and, for the local store, what still waits to be forwarded.
void PrintStations(const std::vector<records::StationRow>& rows, const Options& options,
                   const platform::TimeZone& zone);

}  // namespace lumaflash::cli
