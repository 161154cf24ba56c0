#include <algorithm>
#include <cctype>
#include <chrono>
#include <cstdio>
#include <string>
#include <vector>

#include "cli/commands.h"
#include "cli/exit_codes.h"
#include "cli/flash_record.h"
#include "cli/json.h"
#include "core/platform/text_path.h"
#include "core/records/record_fields.h"
#include "core/records/recorder.h"
#include "core/records/server.h"
#include "core/records/summary.h"
#include "lumaflash_version.h"

namespace lumaflash::cli {

namespace {

using records::Record;
using records::SummaryRow;

constexpr int64_t kDayMs = 24LL * 60 * 60 * 1000;

// Milliseconds at 00:00 UTC of a YYYY-MM-DD date the option parser has checked.
int64_t DayStartMs(const std::string& date) {
  const int year = std::stoi(date.substr(0, 4));
  const unsigned month = static_cast<unsigned>(std::stoi(date.substr(5, 2)));
  const unsigned day = static_cast<unsigned>(std::stoi(date.substr(8, 2)));
  const std::chrono::sys_days days{std::chrono::year{year} / std::chrono::month{month} /
                                   std::chrono::day{day}};
  return records::EpochMs(days);
}

bool IsSha256(const std::string& text) {
  return text.size() == 64 && std::all_of(text.begin(), text.end(), [](char c) {
           return std::isxdigit(static_cast<unsigned char>(c)) != 0;
         });
}

records::RecordFilter FilterOf(const Options& options) {
  records::RecordFilter filter;
  if (!options.since.empty()) {
    filter.sinceMs = DayStartMs(options.since);
  }
  if (!options.until.empty()) {
    filter.untilMs = DayStartMs(options.until) + kDayMs;  // the whole of that day
  }
  auto set = [](std::optional<std::string>& field, const std::string& value) {
    if (!value.empty()) {
      field = value;
    }
  };
  set(filter.serial, options.serial);
  set(filter.usbSerial, options.usbSerial);
  set(filter.result, options.result);
  set(filter.station, options.station);
  if (IsSha256(options.image)) {
    std::string lower = options.image;
    std::transform(lower.begin(), lower.end(), lower.begin(),
                   [](char c) { return static_cast<char>(std::tolower(c)); });
    filter.imageSha256 = lower;
  } else {
    set(filter.imagePath, options.image);
  }
  return filter;
}

std::string RecordJsonLine(const Record& record) {
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
  return DumpJson(object);
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

void PrintTable(const std::vector<Record>& found) {
  std::printf("%-24s %-14s %-14s %-18s %-5s %-20s %8s  %s\n", "STARTED (UTC)", "STATION", "PORT",
              "SERIAL", "TYPE", "RESULT", "TIME", "IMAGE");
  for (const Record& record : found) {
    const std::string serial =
        record.serial ? *record.serial : (record.usbSerial ? "usb " + *record.usbSerial : "-");
    std::printf("%-24s %-14s %-14s %-18s %-5s %-20s %6.1f s  %s\n",
                records::IsoUtc(record.startedAtMs).c_str(), record.station.c_str(),
                record.port.c_str(), serial.c_str(), record.deviceId.value_or("-").c_str(),
                record.result.c_str(), static_cast<double>(record.durationMs) / 1000.0,
                record.imagePath.value_or("-").c_str());
  }
  std::printf("%zu record(s)\n", found.size());
}

double YieldPercent(const SummaryRow& row) {
  return row.unitsAttempted == 0 ? 0.0
                                 : 100.0 * static_cast<double>(row.firstPassUnits) /
                                       static_cast<double>(row.unitsAttempted);
}

void PrintSummary(const std::vector<SummaryRow>& rows, const Options& options) {
  if (options.json) {
    for (const SummaryRow& row : rows) {
      Json object;
      object["day"] = row.day;
      object["deviceId"] = row.deviceId;
      object["deviceName"] = row.deviceName;
      object["attempts"] = static_cast<long long>(row.attempts);
      object["unitsUpdated"] = static_cast<long long>(row.unitsUpdated);
      object["failures"] = static_cast<long long>(row.failures);
      object["unitsAttempted"] = static_cast<long long>(row.unitsAttempted);
      object["firstPassUnits"] = static_cast<long long>(row.firstPassUnits);
      std::printf("%s\n", DumpJson(object).c_str());
    }
    return;
  }
  if (options.csv) {
    std::printf(
        "day,deviceId,deviceName,attempts,unitsUpdated,failures,unitsAttempted,"
        "firstPassUnits,firstPassYield\n");
    for (const SummaryRow& row : rows) {
      std::printf("%s,%s,%s,%lld,%lld,%lld,%lld,%lld,%.1f\n", row.day.c_str(), row.deviceId.c_str(),
                  CsvField(row.deviceName).c_str(), static_cast<long long>(row.attempts),
                  static_cast<long long>(row.unitsUpdated), static_cast<long long>(row.failures),
                  static_cast<long long>(row.unitsAttempted),
                  static_cast<long long>(row.firstPassUnits), YieldPercent(row));
    }
    return;
  }
  std::printf("%-10s  %-24s %8s %8s %8s  %s\n", "DAY", "DEVICE TYPE", "ATTEMPTS", "UPDATED",
              "FAILURES", "FIRST-PASS YIELD");
  for (const SummaryRow& row : rows) {
    const std::string type = row.deviceId + " " + row.deviceName;
    std::printf("%-10s  %-24s %8lld %8lld %8lld  %.1f%% (%lld of %lld units)\n", row.day.c_str(),
                type.c_str(), static_cast<long long>(row.attempts),
                static_cast<long long>(row.unitsUpdated), static_cast<long long>(row.failures),
                YieldPercent(row), static_cast<long long>(row.firstPassUnits),
                static_cast<long long>(row.unitsAttempted));
  }
}

void PrintRecords(const std::vector<Record>& found, const Options& options) {
  if (options.summary) {
    PrintSummary(records::Summarize(found), options);
  } else if (options.json) {
    for (const Record& record : found) {
      std::printf("%s\n", RecordJsonLine(record).c_str());
    }
  } else if (options.csv) {
    std::printf("%s\n", RecordCsvHeader().c_str());
    for (const Record& record : found) {
      std::printf("%s\n", RecordCsvLine(record).c_str());
    }
  } else {
    PrintTable(found);
  }
}

records::RecordsResult<std::vector<Record>> FindRecords(const Options& options,
                                                        const records::RecordsConfig& config) {
  if (options.server) {
    return records::FindOnServer(config.serverUri, FilterOf(options));
  }
  auto store = records::RecordStore::Open(config.storePath, records::RecordStore::Mode::Read);
  if (!store) {
    return MakeUnexpected(store.error());
  }
  return (*store)->Find(FilterOf(options));
}

}  // namespace

int RunRecords(const Options& options) {
  if (options.json && options.csv) {
    std::fprintf(stderr,
                 "lumaflash-cli: records prints JSON or CSV, not both: drop --json or --csv; see "
                 "lumaflash-cli records --help\n");
    return kExitUsage;
  }
  const records::RecordsConfig config =
      records::ResolveRecordsConfig(options.records, "", options.recordsServer, kVersion);
  if (config.off && (!options.server || !options.positional.empty())) {
    std::fprintf(stderr,
                 "lumaflash-cli: --records off names no store; name one with --records PATH.\n");
    return kExitUsage;
  }
  if (options.server || !options.positional.empty()) {
    if (const int refused = RefuseUnusableServer(config.serverUri); refused != kExitOk) {
      return refused;
    }
  }
  if (!options.positional.empty()) {
    return RunRecordsSync(config);
  }
  if (options.server && config.serverUri.empty()) {
    return TellNoRecordsServer();
  }
  records::RecordsResult<std::vector<Record>> found = FindRecords(options, config);
  if (!found) {
    std::fprintf(stderr, "lumaflash-cli: %s.\n", records::Describe(found.error()).c_str());
    return kExitFailure;
  }
  PrintRecords(*found, options);
  return kExitOk;
}

}  // namespace lumaflash::cli
