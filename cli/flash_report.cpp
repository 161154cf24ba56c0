// What a flash command tells of each attempt once its record is kept, and of the run at its end.
#include <cstdio>

#include "cli/exit_codes.h"
#include "cli/flash_run.h"
#include "core/discovery/catalogue.h"
#include "core/platform/text_path.h"
#include "core/session/flash_interface.h"

namespace lumaflash::cli {

namespace {

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

// An interrupted attempt names the device it left: untouched, or half-written.
void TellInterrupted(const FlashRecord& record) {
  if (update::ResultOf(record.outcome) != update::FlashResult::Interrupted) {
    return;
  }
  // Stopped while another program still held the port: the device was never touched.
  if (record.outcome.error().blockCount == 0) {
    std::fprintf(stderr, "lumaflash-cli: stopped before anything was sent to %s.\n",
                 Describe(record.device).c_str());
  } else {
    std::fprintf(stderr,
                 "lumaflash-cli: interrupted while updating %s; its port is closed. The device "
                 "stays in bootloader mode: update it again before using it.\n",
                 Describe(record.device).c_str());
  }
}

}  // namespace

std::string Describe(const protocol::InterfaceRecord& record) {
  return record.portPath + " (serial " + discovery::FormatSerial(record.Serial()) + ")";
}

std::string TypeName(uint16_t deviceId) {
  return discovery::LookupDeviceName(deviceId) + " (type " + discovery::WordHex(deviceId) + ")";
}

void Publish(const FlashRun& run, const FlashRecord& record) {
  if (record.refused) {
    std::fprintf(stderr, "lumaflash-cli: %s. --require-record: nothing was sent to %s.\n",
                 record.refused->c_str(), Describe(record.device).c_str());
    return;
  }
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
  TellInterrupted(record);
}

void PrintSummary(std::FILE* out, const std::vector<FlashRecord>& records) {
  std::fprintf(out, "%-20s %-22s %-18s %s\n", "PORT", "SERIAL", "RESULT", "TIME");
  for (const FlashRecord& record : records) {
    std::fprintf(
        out, "%-20s %-22s %-18s %.1f s\n", record.device.portPath.c_str(),
        discovery::FormatSerial(record.device.Serial()).c_str(),
        record.refused ? "not-sent" : update::FlashResultName(update::ResultOf(record.outcome)),
        static_cast<double>(record.durationMs) / 1000.0);
  }
  for (const FlashRecord& record : records) {
    if (record.refused || !record.outcome) {
      std::fprintf(out, "%s: %s\n", record.device.portPath.c_str(),
                   record.refused ? record.refused->c_str() : FailureText(record.outcome).c_str());
    }
  }
  std::fflush(out);
}

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

}  // namespace lumaflash::cli
