// `records`: the questions asked of the station's store or the factory's server, answered by
// the database; listings are printed row by row as they are read.
#include <algorithm>
#include <array>
#include <cctype>
#include <cstdio>
#include <string>
#include <vector>

#include "cli/commands.h"
#include "cli/exit_codes.h"
#include "cli/flash_record.h"
#include "cli/json.h"
#include "core/platform/text_path.h"
#include "core/platform/time_zone.h"
#include "core/records/questions.h"
#include "core/records/record_fields.h"
#include "core/records/recorder.h"
#include "lumaflash_version.h"

namespace lumaflash::cli {

namespace {

using platform::EscapeControls;
using platform::TimeZone;
using records::GroupBy;
using records::Record;
using records::SummaryRow;

// A usage error that only shows once the options are read together; one line, as the parser's.
struct UsageError {
  std::string message;
};

int TellUsage(const std::string& message) {
  std::fprintf(stderr, "lumaflash-cli: %s; see lumaflash-cli records --help\n", message.c_str());
  return kExitUsage;
}

bool IsSha256(const std::string& text) {
  return text.size() == 64 && std::all_of(text.begin(), text.end(), [](char c) {
           return std::isxdigit(static_cast<unsigned char>(c)) != 0;
         });
}

std::optional<int64_t> Bound(const std::string& text, const TimeZone& zone, bool dayEnd) {
  if (text.empty()) {
    return std::nullopt;
  }
  // The option parser has checked the text already.
  return platform::CivilTimeToUtcMs(*platform::ParseCivilTime(text), zone, dayEnd);
}

Expected<records::RecordFilter, UsageError> FilterOf(const Options& options, const TimeZone& zone) {
  records::RecordFilter filter;
  filter.sinceMs = Bound(options.since, zone, false);
  filter.untilMs = Bound(options.until, zone, true);
  if (filter.sinceMs && filter.untilMs && *filter.sinceMs >= *filter.untilMs) {
    return MakeUnexpected(UsageError{"--since " + options.since + " is not before --until " +
                                     options.until +
                                     ", so no attempt lies between them: swap them"});
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

// Options that ask two questions at once, or shape an answer the question does not give.
std::optional<UsageError> Conflict(const Options& options) {
  if (options.json && options.csv) {
    return UsageError{"records prints JSON or CSV, not both: drop --json or --csv"};
  }
  if (options.summary && options.stations) {
    return UsageError{"--summary and --stations ask different questions: drop one"};
  }
  if (!options.by.empty() && !options.summary) {
    return UsageError{"--by groups a summary: add --summary"};
  }
  if (options.limit > 0 && (options.summary || options.stations)) {
    return UsageError{"--limit shortens a listing of records: drop it, or --summary/--stations"};
  }
  const bool filtered = !options.since.empty() || !options.until.empty() ||
                        !options.serial.empty() || !options.usbSerial.empty() ||
                        !options.image.empty() || !options.result.empty() ||
                        !options.station.empty();
  if (options.stations && filtered) {
    return UsageError{"--stations reports on every record: drop the filters"};
  }
  return std::nullopt;
}

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

// Prints the records as they are read, in the format asked for; stops when standard output
// is gone.
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

std::vector<GroupBy> GroupsOf(const Options& options) {
  std::vector<GroupBy> groups;
  for (const std::string& word : options.by) {
    const GroupBy group = word == "day"       ? GroupBy::Day
                          : word == "station" ? GroupBy::Station
                          : word == "type"    ? GroupBy::Type
                                              : GroupBy::Image;
    if (std::find(groups.begin(), groups.end(), group) == groups.end()) {
      groups.push_back(group);
    }
  }
  return groups.empty() ? std::vector<GroupBy>{GroupBy::Day, GroupBy::Type} : groups;
}

bool Grouped(const std::vector<GroupBy>& groups, GroupBy group) {
  return std::find(groups.begin(), groups.end(), group) != groups.end();
}

double YieldPercent(const SummaryRow& row) {
  return row.unitsAttempted == 0 ? 0.0
                                 : 100.0 * static_cast<double>(row.firstPassUnits) /
                                       static_cast<double>(row.unitsAttempted);
}

Json SummaryJson(const SummaryRow& row, const std::vector<GroupBy>& groups) {
  Json object;
  if (Grouped(groups, GroupBy::Day)) {
    object["day"] = row.day;
  }
  if (Grouped(groups, GroupBy::Station)) {
    object["station"] = row.station;
  }
  if (Grouped(groups, GroupBy::Type)) {
    object["deviceId"] = row.deviceId;
    object["deviceName"] = row.deviceName;
  }
  if (Grouped(groups, GroupBy::Image)) {
    object["image"] = row.imageSha256;
  }
  const std::pair<const char*, int64_t> counts[] = {
      {"attempts", row.attempts},
      {"notStarted", row.notStarted},
      {"unitsAttempted", row.unitsAttempted},
      {"unitsUpdated", row.unitsUpdated},
      {"firstPassUnits", row.firstPassUnits},
      {"reworkAttempts", row.reworkAttempts},
      {"failures", row.failures},
      {"serialLessAttempts", row.serialLessAttempts},
  };
  for (const auto& [key, value] : counts) {
    object[key] = static_cast<long long>(value);
  }
  return object;
}

void PrintSummaryCsv(const std::vector<SummaryRow>& rows, const std::vector<GroupBy>& groups) {
  bool header = true;
  for (const SummaryRow& row : rows) {
    const Json object = SummaryJson(row, groups);
    std::string line;
    if (header) {
      for (const auto& [key, value] : object.items()) {
        line += key + ",";
      }
      std::printf("%sfirstPassYield\n", line.c_str());
      line.clear();
      header = false;
    }
    for (const auto& [key, value] : object.items()) {
      line += (value.is_string() ? CsvField(value.get<std::string>()) : value.dump()) + ",";
    }
    std::printf("%s%.1f\n", line.c_str(), YieldPercent(row));
  }
}

void PrintSummaryTable(const std::vector<SummaryRow>& rows, const std::vector<GroupBy>& groups) {
  // The groups' columns, then the counts.
  auto groupCells = [&](const SummaryRow& row, bool header) {
    std::string cells;
    auto cell = [&cells](const std::string& text, int width) {
      std::string padded = EscapeControls(text);
      padded.resize(std::max<std::size_t>(padded.size(), static_cast<std::size_t>(width)), ' ');
      cells += padded + "  ";
    };
    if (Grouped(groups, GroupBy::Day)) {
      cell(header ? "DAY" : row.day, 10);
    }
    if (Grouped(groups, GroupBy::Station)) {
      cell(header ? "STATION" : row.station, 14);
    }
    if (Grouped(groups, GroupBy::Type)) {
      cell(header ? "DEVICE TYPE" : row.deviceId + " " + row.deviceName, 22);
    }
    if (Grouped(groups, GroupBy::Image)) {
      cell(header ? "IMAGE (SHA-256)" : row.imageSha256.substr(0, 16), 16);
    }
    return cells;
  };
  std::printf("%s%8s %11s %6s %8s %7s %8s  %s\n", groupCells({}, true).c_str(), "ATTEMPTS",
              "NOT STARTED", "UNITS", "UPDATED", "REWORK", "FAILURES", "FIRST-PASS YIELD");
  int64_t serialLess = 0;
  for (const SummaryRow& row : rows) {
    std::array<char, 80> yield{'-'};
    if (row.unitsAttempted > 0) {
      std::snprintf(yield.data(), yield.size(), "%.1f%% (%lld of %lld units)", YieldPercent(row),
                    static_cast<long long>(row.firstPassUnits),
                    static_cast<long long>(row.unitsAttempted));
    }
    std::printf("%s%8lld %11lld %6lld %8lld %7lld %8lld  %s\n", groupCells(row, false).c_str(),
                static_cast<long long>(row.attempts), static_cast<long long>(row.notStarted),
                static_cast<long long>(row.unitsAttempted),
                static_cast<long long>(row.unitsUpdated),
                static_cast<long long>(row.reworkAttempts), static_cast<long long>(row.failures),
                yield.data());
    serialLess += row.serialLessAttempts;
  }
  if (serialLess > 0) {
    std::printf("%lld started attempt(s) had no serial number; each counts as a unit of its own.\n",
                static_cast<long long>(serialLess));
  }
}

void PrintSummary(const std::vector<SummaryRow>& rows, const Options& options) {
  const std::vector<GroupBy> groups = GroupsOf(options);
  if (options.json) {
    for (const SummaryRow& row : rows) {
      std::printf("%s\n", DumpJson(SummaryJson(row, groups)).c_str());
    }
  } else if (options.csv) {
    PrintSummaryCsv(rows, groups);
  } else {
    PrintSummaryTable(rows, groups);
  }
}

std::string TimeOrDash(const std::optional<int64_t>& ms, const TimeZone& zone) {
  return ms ? platform::LocalIsoTime(*ms, zone) : std::string("-");
}

Json OrNullTime(const std::optional<int64_t>& ms) {
  return ms ? Json(records::IsoUtc(*ms)) : Json(nullptr);
}

void PrintStations(const std::vector<records::StationRow>& rows, const Options& options,
                   const TimeZone& zone) {
  if (options.json || options.csv) {
    if (options.csv) {
      std::printf("station,lastStartedAt,lastReceivedAt,waiting,oldestWaitingAt\n");
    }
    for (const records::StationRow& row : rows) {
      Json object;
      object["station"] = row.station;
      object["lastStartedAt"] = records::IsoUtc(row.lastStartedAtMs);
      object["lastReceivedAt"] = OrNullTime(row.lastReceivedAtMs);
      object["waiting"] = row.waiting ? Json(static_cast<long long>(*row.waiting)) : Json(nullptr);
      object["oldestWaitingAt"] = OrNullTime(row.oldestWaitingMs);
      if (options.json) {
        std::printf("%s\n", DumpJson(object).c_str());
        continue;
      }
      std::string line;
      for (const auto& [key, value] : object.items()) {
        line += (line.empty() ? "" : ",") +
                (value.is_string() ? CsvField(value.get<std::string>())
                                   : (value.is_null() ? std::string() : value.dump()));
      }
      std::printf("%s\n", line.c_str());
    }
    return;
  }
  std::printf("%-16s %-25s %-25s %8s  %s\n", "STATION", "LAST RECORD", "LAST RECEIVED (SERVER)",
              "WAITING", "WAITING SINCE");
  for (const records::StationRow& row : rows) {
    std::printf("%-16s %-25s %-25s %8s  %s\n", EscapeControls(row.station).c_str(),
                platform::LocalIsoTime(row.lastStartedAtMs, zone).c_str(),
                TimeOrDash(row.lastReceivedAtMs, zone).c_str(),
                row.waiting ? std::to_string(*row.waiting).c_str() : "-",
                TimeOrDash(row.oldestWaitingMs, zone).c_str());
  }
}

records::RecordsResult<void> Answer(records::RecordQuestions& questions, const Options& options,
                                    const records::RecordFilter& filter, const TimeZone& zone) {
  if (options.stations) {
    auto rows = questions.Stations();
    if (!rows) {
      return MakeUnexpected(rows.error());
    }
    PrintStations(*rows, options, zone);
    return {};
  }
  if (options.summary) {
    records::SummaryQuery query{filter, GroupsOf(options), options.timeZone};
    auto rows = questions.Summary(query);
    if (!rows) {
      return MakeUnexpected(rows.error());
    }
    PrintSummary(*rows, options);
    return {};
  }
  return PrintListing(questions, filter, options, zone);
}

}  // namespace

int RunRecords(const Options& options) {
  if (auto conflict = Conflict(options)) {
    return TellUsage(conflict->message);
  }
  const auto zone =
      options.timeZone.empty() ? TimeZone::Local() : TimeZone::Named(options.timeZone);
  if (!zone) {
    if (!options.timeZone.empty()) {
      return TellUsage("--tz " + platform::Describe(zone.error()));
    }
    std::fprintf(stderr, "lumaflash-cli: %s.\n", platform::Describe(zone.error()).c_str());
    return kExitFailure;
  }
  const auto filter = FilterOf(options, *zone);
  if (!filter) {
    return TellUsage(filter.error().message);
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
    return RunRecordsWord(options, config);
  }
  if (options.rejected) {
    return RunRejected(options, config);
  }
  if (options.server && config.serverUri.empty()) {
    return TellNoRecordsServer();
  }
  auto questions = options.server ? records::ServerQuestions(config.serverUri)
                                  : records::LocalQuestions(config.storePath);
  auto answered = questions ? Answer(**questions, options, *filter, *zone)
                            : records::RecordsResult<void>(MakeUnexpected(questions.error()));
  if (!answered) {
    std::fprintf(stderr, "lumaflash-cli: %s.\n", records::Describe(answered.error()).c_str());
    return kExitFailure;
  }
  return kExitOk;
}

}  // namespace lumaflash::cli
