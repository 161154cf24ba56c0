// `records` listings: one line, JSON object or CSV row per record, printed as it is read.
#include <cstdio>
#include <string>

#include "cli/flash_record.h"
#include "cli/json.h"
#include "cli/records_answers.h"
#include "core/platform/text_path.h"
#include "core/records/record_fields.h"

namespace lumaflash::cli {

namespace {

using platform::EscapeControls;
using platform::TimeZone;
using records::Record;

Json RecordJson(const Record& record) {
  Json object;
  for (const records::RecordField& field : records::kRecordFields) {
    const std::string key(field.key);
    if (records::IsTextField(field) || field.type == records::FieldType::Time) {
      object[key] = OrNull(records::FieldText(record, field));
    } else {
      const std::optional<int64_t> number = records::FieldNumber(record, field);
      object[key] = number ? Json(static_cast<long long>(*number)) : Json(nullptr);
    }
  }
  if (record.receivedAtMs) {
    object["receivedAt"] = records::IsoUtc(*record.receivedAtMs);
  }
  return object;
}

std::string RecordCsvHeader() {
  std::string header;
  for (const records::RecordField& field : records::kRecordFields) {
    header += (header.empty() ? "" : ",") + std::string(field.key);
  }
  return header;
}

std::string RecordCsvLine(const Record& record) {
  std::string line;
  for (const records::RecordField& field : records::kRecordFields) {
    line += (&field == records::kRecordFields.data() ? "" : ",") +
            CsvField(records::FieldText(record, field).value_or(""));
  }
  return line;
}

}  // namespace

records::RecordsResult<void> PrintListing(records::RecordQuestions& questions,
                                          const records::RecordFilter& filter,
                                          const Options& options, const TimeZone& zone) {
  if (options.csv) {
    std::printf("%s\n", RecordCsvHeader().c_str());
  } else if (!options.json) {
    std::printf("%-25s %-14s %-14s %-18s %-5s %-20s %8s  %s\n", "STARTED", "STATION", "PORT",
                "SERIAL", "TYPE", "RESULT", "TIME", "IMAGE");
  }
  std::size_t count = 0;
  auto listed = questions.List(filter, options.limit, 0, [&](const Record& record) {
    ++count;
    if (options.json) {
      std::printf("%s\n", DumpJson(RecordJson(record)).c_str());
    } else if (options.csv) {
      std::printf("%s\n", RecordCsvLine(record).c_str());
    } else {
      const std::string serial =
          record.serial ? *record.serial : (record.usbSerial ? "usb " + *record.usbSerial : "-");
      std::printf(
          "%-25s %-14s %-14s %-18s %-5s %-20s %6.1f s  %s\n",
          platform::LocalIsoTime(record.startedAtMs, zone).c_str(),
          EscapeControls(record.station).c_str(), EscapeControls(record.port).c_str(),
          EscapeControls(serial).c_str(), EscapeControls(record.deviceId.value_or("-")).c_str(),
          EscapeControls(record.result).c_str(), static_cast<double>(record.durationMs) / 1000.0,
          EscapeControls(record.imagePath.value_or("-")).c_str());
    }
    return std::ferror(stdout) == 0;
  });
  if (listed && !options.json && !options.csv) {
    std::printf("%zu record(s)%s\n", count,
                options.limit > 0 && count == options.limit ? " (--limit: there may be more)" : "");
  }
  return listed;
}

}  // namespace lumaflash::cli
