#include <algorithm>
#include <array>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <memory>
#include <optional>
#include <set>
#include <system_error>
#include <thread>

#include "cli/commands.h"
#include "cli/device_choice.h"
#include "cli/exit_codes.h"
#include "cli/flash_record.h"
#include "cli/held_status.h"
#include "cli/progress_board.h"
#include "cli/rescanner.h"
#include "cli/terminal_feedback.h"
#include "core/discovery/catalogue.h"
#include "core/platform/sha256.h"
#include "core/platform/stop_signals.h"
#include "core/platform/text_path.h"
#include "core/records/recorder.h"
#include "core/serial/port_watch.h"
#include "core/session/flash_interface.h"
#include "core/session/last_image.h"
#include "core/session/session.h"
#include "core/update/flash.h"
#include "lumaflash_version.h"

namespace lumaflash::cli {

namespace {

using Clock = std::chrono::steady_clock;
constexpr std::chrono::milliseconds kRescanPause{1000};

int ExitCodeFor(update::FlashResult result) {
  using update::FlashResult;
  switch (result) {
    case FlashResult::Success:
      return kExitOk;
    case FlashResult::NoImagePath:
    case FlashResult::ImageUnusable:
      return kExitImageUnusable;
    case FlashResult::WrongDevice:
      return kExitWrongDevice;
    case FlashResult::WrongBootloader:
    case FlashResult::UnusableBlockSize:
      return kExitNotUpdatable;
    case FlashResult::PortOpenFailed:
      return kExitPortOpenFailed;
    case FlashResult::WriteFailed:
      return kExitTransferFailed;
    case FlashResult::Interrupted:
      return kExitInterrupted;
    case FlashResult::NoSuchInterface:
      return kExitNoInterface;
  }
  return kExitFailure;
}

// Every attempt a success: 0. One interrupted: 10. All failed: the first failure's code. Some
// failed and some succeeded: 11.
int CombinedExit(const std::vector<FlashRecord>& records) {
  std::size_t failed = 0;
  int first = kExitOk;
  for (const FlashRecord& record : records) {
    if (update::ResultOf(record.outcome) == update::FlashResult::Interrupted) {
      return kExitInterrupted;
    }
    if (record.outcome) {
      continue;
    }
    if (failed++ == 0) {
      first = ExitCodeFor(record.outcome.error().result);
    }
  }
  if (failed == 0 || failed == records.size()) {
    return first;
  }
  return kExitSomeFailed;
}

std::string Describe(const protocol::InterfaceRecord& record) {
  return record.portPath + " (serial " + discovery::FormatSerial(record.Serial()) + ")";
}

// "Lumetta A (type 3514)": the catalogue's name and the number an image file carries.
std::string TypeName(uint16_t deviceId) {
  return discovery::LookupDeviceName(deviceId) + " (type " + discovery::WordHex(deviceId) + ")";
}

// Everything one flash command works with.
struct FlashRun {
  const Options& options;
  std::string imagePath;
  const image::FirmwareImage& image;
  std::string sha256;
  std::FILE* human;  // standard output, or standard error when it carries JSON
  Session& session;
  records::Recorder& recorder;
};

// Keeps the attempt in the station's record store; nothing is told here, Publish() does.
void KeepRecord(const FlashRun& run, FlashRecord& record,
                std::chrono::system_clock::time_point startedAt) {
  if (!run.recorder.Enabled()) {
    return;
  }
  const records::Record kept = records::RecordOfAttempt(
      run.recorder.Config().identity, record.device, &run.image, run.imagePath, run.sha256,
      record.outcome, startedAt, std::chrono::system_clock::now(), record.durationMs);
  if (auto keptNow = run.recorder.Keep(kept); !keptNow) {
    record.recordNotKept = records::Describe(keptNow.error());
  }
}

// One update attempt. Its record is on disk before any line that tells how it ended.
FlashRecord Attempt(const FlashRun& run, const protocol::InterfaceRecord& device,
                    update::UpdateListener& feedback) {
  FlashRecord record;
  const auto startedAt = std::chrono::system_clock::now();
  record.timestamp = LocalTimestamp(startedAt);
  record.device = device;
  record.imagePath = run.imagePath;
  record.sha256 = run.sha256;
  const auto start = Clock::now();
  HeldStatus held(feedback);
  record.outcome = update::TransferImage(device, run.image, run.imagePath, held,
                                         &platform::StopRequested(), run.options.holderWait);
  record.durationMs =
      std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count();
  KeepRecord(run, record, startedAt);
  held.Release();
  return record;
}

// Where an attempt that the store did not keep can still be found.
void TellRecordNotKept(const FlashRun& run, const FlashRecord& record) {
  std::string where = "Nothing else holds it: add --log FILE or --json to keep a copy.";
  if (run.options.json && !run.options.logPath.empty()) {
    where = "Its JSON line follows on standard output and its CSV line goes to the log " +
            run.options.logPath + ".";
  } else if (run.options.json) {
    where = "Its JSON line follows on standard output.";
  } else if (!run.options.logPath.empty()) {
    where = "Its CSV line goes to the log " + run.options.logPath + ".";
  }
  std::fprintf(stderr, "lumaflash-cli: the record of the attempt on %s was not kept: %s. %s\n",
               Describe(record.device).c_str(), record.recordNotKept->c_str(), where.c_str());
}

// After the status line of a failure: what exactly went wrong, and what to do about it.
void ExplainFailure(const FlashRun& run, const FlashRecord& record) {
  if (record.outcome) {
    return;
  }
  const update::UpdateError& outcome = record.outcome.error();
  if (outcome.result == update::FlashResult::WrongDevice) {
    std::fprintf(stderr,
                 "lumaflash-cli: the image is for %s, but the device on %s is %s; nothing was "
                 "sent. Use an image for %s.\n",
                 TypeName(run.image.deviceId).c_str(), Describe(record.device).c_str(),
                 TypeName(record.device.deviceId).c_str(),
                 discovery::LookupDeviceName(record.device.deviceId).c_str());
  } else if (outcome.result == update::FlashResult::WriteFailed && outcome.failedBlock == 0) {
    std::fprintf(stderr,
                 "lumaflash-cli: the device on %s did not acknowledge the start packet; nothing "
                 "was written. Check that it is still in bootloader mode and run the update "
                 "again.\n",
                 Describe(record.device).c_str());
  } else if (outcome.result == update::FlashResult::WriteFailed) {
    std::fprintf(stderr,
                 "lumaflash-cli: the device on %s failed at block %u of %u. Check the USB cable "
                 "and that the device is still in bootloader mode, then run the update again; "
                 "the device keeps its bootloader until an update completes.\n",
                 Describe(record.device).c_str(), outcome.failedBlock, outcome.blockCount);
  }
}

// Hands one attempt on: the JSON line, the CSV log, the update stamp after a success, and the
// name of a device left half-written.
void Publish(const FlashRun& run, const FlashRecord& record) {
  if (record.recordNotKept) {
    TellRecordNotKept(run, record);
  }
  if (run.options.json) {
    std::printf("%s\n", RecordJson(record).c_str());
    std::fflush(stdout);
  }
  if (!run.options.logPath.empty()) {
    if (auto logged = AppendCsv(platform::PathFromUtf8(run.options.logPath), record); !logged) {
      std::fprintf(stderr, "lumaflash-cli: %s\n", platform::Describe(logged.error()).c_str());
    }
  }
  session::StampIfUpdated(run.session, record.device.deviceId, record.outcome);
  ExplainFailure(run, record);
  // Stopped while another program still held the port: the device was never touched.
  const bool interrupted = update::ResultOf(record.outcome) == update::FlashResult::Interrupted;
  const bool untouched = interrupted && record.outcome.error().blockCount == 0;
  if (untouched) {
    std::fprintf(stderr, "lumaflash-cli: stopped before anything was sent to %s.\n",
                 Describe(record.device).c_str());
  } else if (interrupted) {
    std::fprintf(stderr,
                 "lumaflash-cli: interrupted while updating %s; its port is closed. The device "
                 "stays in bootloader mode: update it again before using it.\n",
                 Describe(record.device).c_str());
  }
}

std::vector<FlashRecord> UpdateOne(const FlashRun& run, const protocol::InterfaceRecord& device) {
  TerminalFeedback feedback(run.human);
  feedback.EnableProgress(true);
  feedback.SetTransfer(run.image.length, device.blockSize);
  return {Attempt(run, device, feedback)};
}

void PrintSummary(std::FILE* out, const std::vector<FlashRecord>& records) {
  std::fprintf(out, "%-20s %-22s %-18s %s\n", "PORT", "SERIAL", "RESULT", "TIME");
  for (const FlashRecord& record : records) {
    std::fprintf(out, "%-20s %-22s %-18s %.1f s\n", record.device.portPath.c_str(),
                 discovery::FormatSerial(record.device.Serial()).c_str(),
                 update::FlashResultName(update::ResultOf(record.outcome)),
                 static_cast<double>(record.durationMs) / 1000.0);
  }
  for (const FlashRecord& record : records) {
    if (!record.outcome) {
      std::fprintf(out, "%s: %s\n", record.device.portPath.c_str(),
                   FailureText(record.outcome).c_str());
    }
  }
  std::fflush(out);
}

// Each device on its own thread with its own port and listener, so one that fails, goes
// silent or vanishes neither stops nor slows the others.
std::vector<FlashRecord> UpdateAll(const FlashRun& run,
                                   const std::vector<protocol::InterfaceRecord>& devices) {
  std::vector<std::string> labels;
  labels.reserve(devices.size());
  for (const protocol::InterfaceRecord& device : devices) {
    labels.push_back(device.portPath + " " + discovery::SerialHex(device.Serial()));
  }
  ProgressBoard board(run.human, labels);
  std::vector<FlashRecord> records(devices.size());
  auto update = [&](std::size_t i) {
    BoardFeedback feedback(board, i);
    records[i] = Attempt(run, devices[i], feedback);
  };
  {
    std::vector<std::jthread> workers;
    std::size_t started = 0;
    for (; started < devices.size(); ++started) {
      try {
        workers.emplace_back(update, started);
      } catch (const std::system_error&) {
        break;  // a process limit: the devices left are updated here, one after the other
      }
    }
    for (std::size_t i = started; i < devices.size(); ++i) {
      update(i);
    }
  }
  PrintSummary(run.human, records);
  return records;
}

// Ports the operator named are always explained. Walking the system's ports, only the reasons
// worth acting on are told: a port that does not exist or is no serial line is no news.
void ReportFailures(const std::vector<serial::PortFailure>& failures, bool named) {
  for (const serial::PortFailure& failure : failures) {
    if (named || failure.error == serial::PortError::Busy ||
        failure.error == serial::PortError::AccessDenied) {
      std::fprintf(stderr, "lumaflash-cli: %s\n", serial::DescribePortFailure(failure).c_str());
    }
  }
}

// Lists the devices an update leaves out, each once per attached unit.
void TellSkipped(const FlashRun& run, const std::vector<protocol::InterfaceRecord>& skipped,
                 std::set<UnitKey>& told) {
  for (const protocol::InterfaceRecord& record : skipped) {
    if (told.insert(KeyOf(record)).second) {
      std::fprintf(run.human, "skipped %s: %s, the image is for %s\n", Describe(record).c_str(),
                   TypeName(record.deviceId).c_str(), TypeName(run.image.deviceId).c_str());
    }
  }
}

int NoneFound(const FlashRun& run, const Choice& choice, bool namedPortFailed) {
  // The ports were named, and what kept them closed was told above: that, not a missing
  // device, is what the operator must mend.
  if (namedPortFailed && choice.skipped.empty()) {
    std::fprintf(stderr,
                 "lumaflash-cli: no named port could be opened and no device answered; nothing "
                 "was sent.\n");
    return kExitPortOpenFailed;
  }
  if (!run.options.serial.empty()) {
    std::fprintf(stderr,
                 "lumaflash-cli: no device with serial number %s answered. Check the number "
                 "(lumaflash-cli scan lists them) and that the device is in bootloader mode.\n",
                 run.options.serial.c_str());
  } else if (!choice.skipped.empty()) {
    std::fprintf(stderr, "lumaflash-cli: no device of type %s (%s) answered; nothing was sent.\n",
                 discovery::WordHex(run.image.deviceId).c_str(),
                 discovery::LookupDeviceName(run.image.deviceId).c_str());
  } else {
    std::fprintf(stderr,
                 "lumaflash-cli: no device in bootloader mode answered. Connect one, put it in "
                 "bootloader mode and try again.\n");
  }
  return kExitNoInterface;
}

int Several(const Choice& choice) {
  protocol::InterfaceTable table;
  for (std::size_t i = 0; i < choice.several.size() && i < protocol::kInterfaceTableSize; ++i) {
    table[i] = choice.several[i];
  }
  PrintInterfaceTable(stderr, table);
  std::fprintf(stderr,
               "lumaflash-cli: %zu devices answered; nothing was sent. Name the one to update "
               "with --serial HEX or --port PATH, or update them all with --all.\n",
               choice.several.size());
  return kExitAmbiguous;
}

// The scan, choose, update loop: once, or until a device comes (--wait), or for every device
// that comes until Ctrl+C (--repeat).
int FlashLoop(const FlashRun& run) {
  const Options& options = run.options;
  const bool waiting = options.wait || options.repeat;
  const ChoiceRules rules{run.image.deviceId, options.serial, options.all, waiting};
  Rescanner scanner(options.ports, options.usb);
  if (waiting) {
    scanner.WatchHolders(options.holderWait, &platform::StopRequested(),
                         [&run](const std::string& line) {
                           std::fprintf(run.human, "%s\n", line.c_str());
                           std::fflush(run.human);
                         });
  }
  // A new port is looked at the moment it appears; the timed rescan stays for what no event
  // announces (a device on a port that was there before, a system where nothing is watched).
  std::optional<serial::PortWatch> watch;
  if (waiting) {
    watch.emplace();
  }
  RecentUnits recent;
  std::set<UnitKey> toldSkipped;
  std::vector<FlashRecord> done;
  bool toldWaiting = false;
  std::size_t lastCount = SIZE_MAX;
  while (true) {
    if (platform::StopRequested().load()) {
      break;
    }
    scanner.Scan();
    ReportFailures(scanner.NewFailures(), !options.ports.empty());
    if (const auto& held = scanner.StillHeld()) {
      std::fprintf(stderr, "lumaflash-cli: %s\n", serial::DescribePortFailure(*held).c_str());
      return kExitPortOpenFailed;
    }
    // A stop that came while the probes ran must not be noticed only after the start packet.
    if (platform::StopRequested().load()) {
      break;
    }
    const auto found = scanner.Interfaces().Used();
    if (found.size() != lastCount) {
      std::fprintf(run.human, "%s\n", discovery::FoundLine(found.size()).c_str());
      lastCount = found.size();
    }
    recent.KeepOnly(found);
    std::erase_if(toldSkipped, [&](const UnitKey& key) {
      return std::none_of(found.begin(), found.end(),
                          [&](const auto& record) { return KeyOf(record) == key; });
    });
    const Choice choice = ChooseDevices(found, rules, recent.Units());
    TellSkipped(run, choice.skipped, toldSkipped);
    if (choice.verdict == Choice::Verdict::Several) {
      return Several(choice);
    }
    if (choice.verdict == Choice::Verdict::None) {
      if (!waiting) {
        return NoneFound(
            run, choice,
            !options.ports.empty() && found.empty() && !scanner.CurrentFailures().empty());
      }
      if (!toldWaiting) {
        std::fprintf(run.human, "Waiting for a%s device of type %s%s... (Ctrl+C ends)\n",
                     done.empty() ? "" : " further",
                     (discovery::WordHex(run.image.deviceId) + " (" +
                      discovery::LookupDeviceName(run.image.deviceId) + ")")
                         .c_str(),
                     options.serial.empty() ? "" : (" with serial " + options.serial).c_str());
        std::fflush(run.human);
        toldWaiting = true;
      }
      watch->Wait(kRescanPause, platform::StopRequested());
      continue;
    }
    toldWaiting = false;
    const std::vector<FlashRecord> records =
        options.all ? UpdateAll(run, choice.chosen) : UpdateOne(run, choice.chosen.front());
    bool recordLost = false;
    for (const FlashRecord& record : records) {
      Publish(run, record);
      recent.Add(record.device);
      done.push_back(record);
      recordLost = recordLost || record.recordNotKept.has_value();
    }
    if (recordLost && options.requireRecord) {
      std::fprintf(stderr,
                   "lumaflash-cli: --require-record: a record could not be kept, so no further "
                   "device is updated. Mend the record store and run again.\n");
      return kExitRecordNotKept;
    }
    if (!options.repeat || CombinedExit(records) == kExitInterrupted) {
      return CombinedExit(records);
    }
  }
  if (options.repeat && !done.empty()) {
    const auto updated = std::count_if(done.begin(), done.end(), [](const FlashRecord& record) {
      return record.outcome.has_value();
    });
    std::fprintf(run.human, "Stopped. %td update(s) in this run, %td failed.\n", updated,
                 static_cast<std::ptrdiff_t>(done.size()) - updated);
    return CombinedExit(done);
  }
  if (options.repeat) {
    std::fprintf(run.human, "Stopped. No update in this run.\n");
    return kExitOk;
  }
  std::fprintf(stderr, "lumaflash-cli: stopped before an update began; nothing was sent.\n");
  return kExitInterrupted;
}

// Opens the record store before any port. False when the run must not go on: the store
// cannot be opened and --require-record asks for every record.
bool OpenRecords(const Options& options, records::Recorder& recorder) {
  if (!recorder.Enabled()) {
    if (options.requireRecord) {
      std::fprintf(stderr,
                   "lumaflash-cli: --require-record asks for a record of every attempt, but "
                   "--records off keeps none; drop one of the two. Nothing was sent.\n");
      return false;
    }
    return true;
  }
  const records::RecordsResult<void> opened = recorder.Open();
  if (opened) {
    return true;
  }
  const std::string& error = records::Describe(opened.error());
  if (options.requireRecord) {
    std::fprintf(stderr, "lumaflash-cli: %s. --require-record: nothing was sent.\n", error.c_str());
    return false;
  }
  std::fprintf(stderr,
               "lumaflash-cli: %s. The update goes on, but its record is not kept in the "
               "store.\n",
               error.c_str());
  return true;
}

// At the end of the run the server gets a last few seconds; what it did not take stays queued in
// the local store, and the operator is told how much. A stop request (Ctrl+C, SIGTERM), before or
// during this wait, ends it at once; the run's exit code stays as it was.
void TellQueue(records::Recorder& recorder) {
  constexpr std::chrono::seconds kQueuePatience{5};
  const std::optional<std::size_t> waiting =
      recorder.FinishForwarding(kQueuePatience, &platform::StopRequested());
  if (waiting && *waiting > 0) {
    std::fprintf(stderr,
                 "lumaflash-cli: %zu record(s) still queued in %s (%s); the next run or "
                 "lumaflash-cli records sync forwards them.\n",
                 *waiting, platform::Utf8FromPath(recorder.Config().storePath).c_str(),
                 recorder.ForwardingError().c_str());
  }
  for (const records::Rejection& refused : recorder.ForwardingRefusals()) {
    std::fprintf(stderr,
                 "lumaflash-cli: the records server refused the record of the attempt on %s "
                 "(%s) for good: SQLSTATE %s: %s. It stays in the local store; lumaflash-cli "
                 "records --rejected lists it.\n",
                 refused.record.port.c_str(), refused.record.id.c_str(), refused.sqlState.c_str(),
                 refused.message.c_str());
  }
}

}  // namespace

int RunFlash(const Options& options) {
  const std::string& imagePath = options.positional[0];
  // The image is checked before any port is touched.
  auto image = std::make_unique<image::FirmwareImage>();
  if (auto loaded = image::LoadFirmwareImage(platform::PathFromUtf8(imagePath), *image); !loaded) {
    std::fprintf(stderr, "lumaflash-cli: %s\n", image::Describe(loaded.error()).c_str());
    return kExitImageUnusable;
  }
  // A production run must leave its record: a log that cannot be written stops it before any
  // device is touched.
  std::error_code noStatus;
  const auto logStatus = std::filesystem::status(platform::PathFromUtf8(options.logPath), noStatus);
  if (!options.logPath.empty() && !noStatus && !std::filesystem::is_regular_file(logStatus)) {
    std::fprintf(stderr,
                 "lumaflash-cli: the log %s is not a regular file (a directory, FIFO or device); "
                 "name a file. Nothing was sent.\n",
                 options.logPath.c_str());
    return kExitFailure;
  }
  if (!options.logPath.empty() &&
      !std::ofstream(platform::PathFromUtf8(options.logPath), std::ios::app)) {
    std::fprintf(stderr,
                 "lumaflash-cli: cannot open the log %s for appending: check that its folder "
                 "exists and is writable. Nothing was sent.\n",
                 options.logPath.c_str());
    return kExitFailure;
  }
  records::Recorder recorder(records::ResolveRecordsConfig(options.records, options.station,
                                                           options.recordsServer, kVersion));
  if (const int refused = RefuseUnusableServer(recorder.Config().serverUri); refused != kExitOk) {
    return refused;
  }
  if (!OpenRecords(options, recorder)) {
    return options.requireRecord && !recorder.Enabled() ? kExitUsage : kExitRecordNotKept;
  }
  std::FILE* human = options.json ? stderr : stdout;
  TerminalFeedback settingsFeedback(human);
  Session session(settingsFeedback);
  session.recallLastImage = false;
  std::error_code noDirectory;
  session::SetupSettings(session, std::filesystem::current_path(noDirectory));
  const FlashRun run{
      options, imagePath,
      *image,  platform::Sha256Hex(std::span<const uint8_t>(image->data.data(), image->length)),
      human,   session,
      recorder};
  // Ctrl+C during an update stops it between two blocks, so the port is closed in order, the
  // record is written and the operator is told which device was left half-written. While waiting
  // or scanning it ends the run before anything is sent. A terminal closing (SIGHUP) and a polite
  // kill (SIGTERM) mean the same and get the same orderly end.
  const platform::StopSignals stopSignals;
  recorder.StartForwarding();
  const int exitCode = FlashLoop(run);
  TellQueue(recorder);
  return exitCode;
}

}  // namespace lumaflash::cli
