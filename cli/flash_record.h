#pragma once

#include <chrono>
#include <filesystem>
#include <optional>
#include <string>

#include "core/platform/log_file.h"
#include "core/protocol/interface_table.h"
#include "core/update/flash.h"

namespace lumaflash::cli {

// What became of one device in one update attempt: the record a production run leaves.
struct FlashRecord {
  std::string timestamp;  // when the attempt began, ISO 8601 local time with offset
  protocol::InterfaceRecord device;
  std::string imagePath;  // as given on the command line
  std::string sha256;     // of the image's payload
  update::FlashOutcome outcome;
  long long durationMs = 0;
  // Why the station's record store did not keep this attempt; nothing when it did (or when
  // records are off).
  std::optional<std::string> recordNotKept;
  // With --require-record: why the store could not take the attempt's row, so that nothing was
  // sent; the rest of the record then tells nothing.
  std::optional<std::string> refused;
};

// "2026-12-05T14:03:07+01:00": local time with the zone's offset.
std::string LocalTimestamp(std::chrono::system_clock::time_point when);

// One JSON object on one line, without the newline: port, serial, usbSerial, deviceId,
// firmwareVersion (before the update), image, sha256, result, status (null on success),
// durationMs.
std::string RecordJson(const FlashRecord& record);

// The CSV header and one CSV line (RFC 4180 quoting), neither with the newline. usbSerial is
// the last column, so that logs begun before it existed still line up.
extern const char* const kCsvHeader;
// One CSV field, quoted (RFC 4180) when it holds a comma, a quote or a line break.
std::string CsvField(const std::string& text);
std::string RecordCsv(const FlashRecord& record);

// Appends `record` to the CSV file at `path`, writing the header first when the file is new or
// empty. Fails when the file cannot be written.
Expected<void, platform::LogFileError> AppendCsv(const std::filesystem::path& path,
                                                 const FlashRecord& record);

// The status word and what went wrong, for tables: "ok", or the status line and the port's
// reason when there is one.
std::string FailureText(const update::FlashOutcome& outcome);

}  // namespace lumaflash::cli
