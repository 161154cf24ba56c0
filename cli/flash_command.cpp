// `lumaflash-cli flash IMAGE`: the checks before any port, the run's record keeping and its end.
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <stop_token>
#include <system_error>

#include "cli/commands.h"
#include "cli/exit_codes.h"
#include "cli/flash_run.h"
#include "cli/terminal_feedback.h"
#include "core/platform/stop_signals.h"
#include "core/platform/text_path.h"
#include "core/session/last_image.h"
#include "core/session/station_records.h"
#include "lumaflash_version.h"

namespace lumaflash::cli {

namespace {

// A production run must leave its record: a log that cannot be written stops it before any
// device is touched. The exit code when it cannot.
std::optional<int> CheckLog(const std::string& logPath) {
  if (logPath.empty()) {
    return std::nullopt;
  }
  std::error_code noStatus;
  const auto status = std::filesystem::status(platform::PathFromUtf8(logPath), noStatus);
  if (!noStatus && !std::filesystem::is_regular_file(status)) {
    std::fprintf(stderr,
                 "lumaflash-cli: the log %s is not a regular file (a directory, FIFO or device); "
                 "name a file. Nothing was sent.\n",
                 logPath.c_str());
    return kExitFailure;
  }
  if (!std::ofstream(platform::PathFromUtf8(logPath), std::ios::app)) {
    std::fprintf(stderr,
                 "lumaflash-cli: cannot open the log %s for appending: check that its folder "
                 "exists and is writable. Nothing was sent.\n",
                 logPath.c_str());
    return kExitFailure;
  }
  return std::nullopt;
}

// Opens the record store before any port. The exit code when the run must not go on: the store
// cannot be opened and --require-record asks for every record.
std::optional<int> OpenRecords(const Options& options, records::Recorder& recorder) {
  if (!recorder.Enabled() && options.requireRecord) {
    std::fprintf(stderr,
                 "lumaflash-cli: --require-record asks for a record of every attempt, but "
                 "--records off keeps none; drop one of the two. Nothing was sent.\n");
    return kExitUsage;
  }
  const std::string problem = session::OpenStationRecords(recorder, options.requireRecord);
  if (problem.empty()) {
    return std::nullopt;
  }
  std::fprintf(stderr, "lumaflash-cli: %s\n", problem.c_str());
  return options.requireRecord ? std::optional(kExitRecordNotKept) : std::nullopt;
}

}  // namespace

int RunFlash(const Options& options) {
  const std::string& imagePath = options.positional[0];
  // The image is checked before any port is touched; an attempt loads it again only when the
  // file has changed since.
  const auto checked = session::CheckImage(imagePath);
  if (!checked) {
    std::fprintf(stderr, "lumaflash-cli: %s\n", image::Describe(checked.error()).c_str());
    return kExitImageUnusable;
  }
  if (const std::optional<int> refused = CheckLog(options.logPath)) {
    return *refused;
  }
  records::Recorder recorder(records::ResolveRecordsConfig(options.records, options.station,
                                                           options.recordsServer, kVersion));
  if (const int refused = RefuseUnusableServer(recorder.Config().serverUri); refused != kExitOk) {
    return refused;
  }
  if (const std::optional<int> refused = OpenRecords(options, recorder)) {
    return *refused;
  }
  std::FILE* human = options.json ? stderr : stdout;
  TerminalFeedback settingsFeedback(human);
  session::Session session(settingsFeedback);
  session.recallLastImage = false;
  std::error_code noDirectory;
  session::SetupSettings(session, std::filesystem::current_path(noDirectory));
  std::stop_source stop;
  const FlashRun run{
      options,
      imagePath,
      *checked->image,
      human,
      session,
      session::AttemptRules{recorder.Enabled() ? &recorder : nullptr, options.requireRecord,
                            stop.get_token(), options.holderWait, &*checked}};
  // Ctrl+C during an update stops it between two blocks, so the port is closed in order, the
  // record is written and the operator is told which device was left half-written. While waiting
  // or scanning it ends the run before anything is sent. A terminal closing (SIGHUP) and a polite
  // kill (SIGTERM) mean the same and get the same orderly end.
  const platform::StopSignals stopSignals(stop);
  const int exitCode = FlashLoop(run);
  if (recorder.Enabled()) {
    // A stop request (Ctrl+C, SIGTERM), before or during this wait, ends it at once; the run's
    // exit code stays as it was.
    for (const std::string& line : session::CloseStationRecords(recorder, stop.get_token())) {
      std::fprintf(stderr, "lumaflash-cli: %s\n", line.c_str());
    }
  }
  return exitCode;
}

}  // namespace lumaflash::cli
