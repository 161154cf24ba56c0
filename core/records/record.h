#pragma once

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>

#include "core/image/firmware_image.h"
#include "core/protocol/interface_table.h"
#include "core/records/records_error.h"
#include "core/update/flash.h"

namespace lumaflash::records {

// One update attempt as the station keeps it: who, where, which device, which image, how it
// ended. Every text field is well-formed UTF-8 once the record is made (RecordOfAttempt); a field
// that is not known is empty (nullopt).
struct Record {
  std::string id;           // UUID version 7 made at the station, lower-case 8-4-4-4-12
  int64_t startedAtMs = 0;  // milliseconds since the Unix epoch, UTC
  int64_t endedAtMs = 0;
  std::string station;
  std::string operatorName;
  std::string programVersion;
  std::string port;
  std::optional<std::string> usbVid, usbPid, usbSerial;
  std::optional<std::string> deviceId, deviceName, bootloaderVersion, firmwareVersion, serial;
  std::optional<std::string> imagePath, imageSha256;
  std::optional<int64_t> imageHeaderVersion, imageLength;
  // The words of --json ("ok", "write-failed", "interrupted", ...); kUnfinished while the attempt
  // runs, and for good when its program died before it ended.
  std::string result;
  std::optional<std::string> status;
  // The block that was not acknowledged (0: the start packet) or, for an attempt that was
  // interrupted or never finished, the block reached; and how many blocks the image takes.
  std::optional<int64_t> failedBlock, blockCount;
  int64_t durationMs = 0;
  std::optional<int64_t> receivedAtMs;  // when the server took it in; only as read from a server
};

// Who made the records and with what: the same for every attempt of one run.
struct StationIdentity {
  std::string station;
  std::string operatorName;
  std::string programVersion;
};

// The result of an attempt that has not ended: what its record says if its program dies first.
inline constexpr const char* kUnfinished = "unfinished";
// How a reader shows an unfinished attempt whose program still runs.
inline constexpr const char* kInProgress = "in-progress";

// A UUID of version 7 for a record made at `epochMs`: the time in its first 48 bits, so that ids
// sort by time, and 74 bits from the operating system's random generator. Fails only when that
// generator does.
RecordsResult<std::string> NewRecordId(int64_t epochMs);

// Milliseconds since the Unix epoch.
int64_t EpochMs(std::chrono::system_clock::time_point when);

// "2026-12-08T01:02:03.456Z".
std::string IsoUtc(int64_t epochMs);

// The record of an attempt on `device` that begins now, as it reads until the attempt ends:
// result kUnfinished. `image` may be null (it could not be loaded); `imagePath` is the path that
// was opened. Every text is made well-formed UTF-8 (a byte that is not becomes U+FFFD).
RecordsResult<Record> RecordOfAttempt(const StationIdentity& identity,
                                      const protocol::InterfaceRecord& device,
                                      const image::FirmwareImage* image,
                                      const std::string& imagePath, const std::string& sha256,
                                      std::chrono::system_clock::time_point startedAt);

// Completes `record` with how the attempt ended and when.
void FinishRecord(Record& record, const update::FlashOutcome& outcome,
                  std::chrono::system_clock::time_point endedAt, int64_t durationMs);

// Replaces, in every text field, each byte that is not part of well-formed UTF-8 by U+FFFD.
void MakeTextsWellFormed(Record& record);

}  // namespace lumaflash::records
