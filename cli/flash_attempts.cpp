// The updates of a flash command: one device, or every device at once (--all).
#include <exception>
#include <memory>
#include <mutex>
#include <system_error>
#include <thread>

#include "cli/flash_run.h"
#include "cli/progress_board.h"
#include "cli/terminal_feedback.h"
#include "core/discovery/catalogue.h"

namespace lumaflash::cli {

namespace {

// One recorded attempt (session::RunAttempt): its record is on disk before any line that tells
// how it ended. Each attempt loads the image afresh, so its record names what was sent.
FlashRecord Attempt(const FlashRun& run, const protocol::InterfaceRecord& device,
                    update::UpdateListener& feedback) {
  auto image = std::make_unique<image::FirmwareImage>();
  const auto attempt = session::RunAttempt(run.rules, device, run.imagePath, *image, feedback);
  FlashRecord record;
  record.device = device;
  record.imagePath = run.imagePath;
  if (!attempt) {
    record.timestamp = LocalTimestamp(std::chrono::system_clock::now());
    record.refused = attempt.error().reason;
    return record;
  }
  record.timestamp = LocalTimestamp(attempt->startedAt);
  record.sha256 = attempt->sha256;
  record.outcome = attempt->outcome;
  record.durationMs = attempt->durationMs;
  record.recordNotKept = attempt->recordNotKept;
  return record;
}

}  // namespace

std::vector<FlashRecord> UpdateOne(const FlashRun& run, const protocol::InterfaceRecord& device) {
  TerminalFeedback feedback(run.human);
  feedback.EnableProgress(true);
  feedback.SetTransfer(run.image.length, device.blockSize);
  return {Attempt(run, device, feedback)};
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
  // An exception on one device's thread waits until the others have ended in order, then goes
  // on on this thread, as it would with one device.
  std::mutex failing;
  std::exception_ptr failed;
  auto updateOnThread = [&](std::size_t i) {
    try {
      update(i);
    } catch (...) {
      const std::lock_guard lock(failing);
      failed = failed ? failed : std::current_exception();
    }
  };
  {
    std::vector<std::jthread> workers;
    std::size_t started = 0;
    for (; started < devices.size(); ++started) {
      try {
        workers.emplace_back(updateOnThread, started);
      } catch (const std::system_error&) {
        break;  // a process limit: the devices left are updated here, one after the other
      }
    }
    for (std::size_t i = started; i < devices.size(); ++i) {
      update(i);
    }
  }
  if (failed) {
    std::rethrow_exception(failed);
  }
  PrintSummary(run.human, records);
  return records;
}

}  // namespace lumaflash::cli
