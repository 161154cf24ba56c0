#pragma once

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>

#include "core/image/firmware_image.h"
#include "core/protocol/interface_table.h"
#include "core/update/flash.h"

namespace lumaflash::records {

// One update attempt as the station keeps it: who, where, which device, which image, how it
// ended. Text fields are stored exactly as given; a field that is not known is empty (nullopt).
struct Record {
  std::string id;           // UUID made at the station, lower-case 8-4-4-4-12
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
  std::string result;  // the words of --json: "ok", "write-failed", "interrupted", ...
  std::optional<std::string> status;
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

// A random (version 4) UUID in lower-case 8-4-4-4-12 form.
std::string NewRecordId();

// Milliseconds since the Unix epoch.
int64_t EpochMs(std::chrono::system_clock::time_point when);

// "2026-12-08T01:02:03.456Z".
std::string IsoUtc(int64_t epochMs);

// The record of one attempt on `device` with `image` (may be null when it was never loaded).
Record RecordOfAttempt(const StationIdentity& identity, const protocol::InterfaceRecord& device,
                       const image::FirmwareImage* image, const std::string& imagePath,
                       const std::string& sha256, const update::FlashOutcome& outcome,
                       std::chrono::system_clock::time_point startedAt,
                       std::chrono::system_clock::time_point endedAt, int64_t durationMs);

}  // namespace lumaflash::records
