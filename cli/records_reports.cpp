// `records --summary` and `records --stations`: the reports over groups of records.
#include <algorithm>
#include <array>
#include <cstdio>
#include <string>
#include <utility>

#include "cli/flash_record.h"
#include "cli/json.h"
#include "cli/records_answers.h"
#include "core/platform/text_path.h"
#include "core/records/record_fields.h"

namespace lumaflash::cli {

namespace {

using platform::EscapeControls;
using platform::TimeZone;
using records::GroupBy;
using records::SummaryRow;

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

std::string TimeOrDash(const std::optional<int64_t>& ms, const TimeZone& zone) {
  return ms ? platform::LocalIsoTime(*ms, zone) : std::string("-");
}

Json OrNullTime(const std::optional<int64_t>& ms) {
  return ms ? Json(records::IsoUtc(*ms)) : Json(nullptr);
}

}  // namespace

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

}  // namespace lumaflash::cli
