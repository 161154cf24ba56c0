#pragma once

// What the parts of `lumaflash-cli flash` share: the run, its attempts and their report.
#include <cstdio>
#include <string>
#include <vector>

#include "cli/flash_record.h"
#include "cli/options.h"
#include "core/image/firmware_image.h"
#include "core/protocol/interface_table.h"
#include "core/records/recorder.h"
#include "core/session/recorded_attempt.h"
#include "core/session/session.h"

namespace lumaflash::cli {

// Everything one flash command works with.
struct FlashRun {
  const Options& options;
  std::string imagePath;              // as given
  const image::FirmwareImage& image;  // as checked before any port was opened
  std::FILE* human;                   // standard output, or standard error when it carries JSON
  session::Session& session;
  session::AttemptRules rules;
};

// "/dev/ttyACM0 (serial 0A1B2C01)".
std::string Describe(const protocol::InterfaceRecord& record);
// "Lumetta A (type 3514)": the catalogue's name and the number an image file carries.
std::string TypeName(uint16_t deviceId);

// The scan, choose, update loop: once, or until a device comes (--wait), or for every device
// that comes until Ctrl+C (--repeat). The run's exit code.
int FlashLoop(const FlashRun& run);

// One device updated as one recorded attempt, its progress on one line.
std::vector<FlashRecord> UpdateOne(const FlashRun& run, const protocol::InterfaceRecord& device);
// --all: every device at once, each on its own thread, port and progress row, then a summary.
std::vector<FlashRecord> UpdateAll(const FlashRun& run,
                                   const std::vector<protocol::InterfaceRecord>& devices);

// Hands one attempt on once its record is kept: where the record is when the store did not keep
// it, the JSON line, the CSV log, the update stamp after a success, and what went wrong.
void Publish(const FlashRun& run, const FlashRecord& record);
// The summary of --all: port, serial, result and time per device, then each failure's reason.
void PrintSummary(std::FILE* out, const std::vector<FlashRecord>& records);
// Every attempt a success: 0. One interrupted: 10. All failed: the first failure's code. Some
// failed and some succeeded: 11.
int CombinedExit(const std::vector<FlashRecord>& records);

}  // namespace lumaflash::cli
