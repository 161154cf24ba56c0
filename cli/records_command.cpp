// `records`: the questions asked of the station's store or the factory's server, answered by
// the database; listings are printed row by row as they are read.
#include <cstdio>
#include <optional>
#include <string>

#include "cli/commands.h"
#include "cli/exit_codes.h"
#include "cli/records_answers.h"
#include "core/platform/time_zone.h"
#include "core/records/image_filter.h"
#include "core/records/questions.h"
#include "core/records/recorder.h"
#include "lumaflash_version.h"

namespace lumaflash::cli {

namespace {

using platform::TimeZone;

// A usage error that only shows once the options are read together; one line, as the parser's.
struct UsageError {
  std::string message;
};

int TellUsage(const std::string& message) {
  std::fprintf(stderr, "lumaflash-cli: %s; see lumaflash-cli records --help\n", message.c_str());
  return kExitUsage;
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
  records::FilterByImage(filter, options.image);
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

Expected<TimeZone, int> ZoneOfDays(const Options& options) {
  auto zone = options.timeZone.empty() ? TimeZone::Local() : TimeZone::Named(options.timeZone);
  if (zone) {
    return *std::move(zone);
  }
  if (!options.timeZone.empty()) {
    return MakeUnexpected(TellUsage("--tz " + platform::Describe(zone.error())));
  }
  std::fprintf(stderr, "lumaflash-cli: %s.\n", platform::Describe(zone.error()).c_str());
  return MakeUnexpected(int{kExitFailure});
}

int RunRecords(const Options& options) {
  if (auto conflict = Conflict(options)) {
    return TellUsage(conflict->message);
  }
  const auto zone = ZoneOfDays(options);
  if (!zone) {
    return zone.error();
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
