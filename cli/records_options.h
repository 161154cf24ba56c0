#pragma once

#include <string>
#include <string_view>

#include "cli/options.h"
#include "core/platform/expected.h"

namespace lumaflash::cli {

// A value that an option of `records` does not take; the message says what it takes.
struct RecordsOptionError {
  std::string message;
};

// True for the options whose values only `records` reads: --since, --until, --result, --by,
// --tz, --limit.
bool IsRecordsValueOption(std::string_view name);

// Checks and keeps the value of one of those options: real dates and times, known result
// words (with the nearest one for a near miss), known groupings, a positive limit.
Expected<void, RecordsOptionError> StoreRecordsOption(std::string_view name, std::string_view value,
                                                      Options& options);

// The result words as the help lists them: "ok, write-failed, ..., or not-ok".
std::string ResultWordsText();

}  // namespace lumaflash::cli
