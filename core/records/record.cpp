#include "core/records/record.h"

#include <array>
#include <cstdio>
#include <ctime>
#include <random>

#include "core/discovery/catalogue.h"
#include "core/platform/hex.h"

namespace lumaflash::records {

std::string NewRecordId() {
  std::random_device source;
  std::array<uint8_t, 16> bytes{};
  for (std::size_t i = 0; i < bytes.size(); i += 4) {
    const uint32_t word = source();
    for (std::size_t j = 0; j < 4; ++j) {
      bytes[i + j] = static_cast<uint8_t>(word >> (8 * j));
    }
  }
  bytes[6] = static_cast<uint8_t>((bytes[6] & 0x0Fu) | 0x40u);  // version 4: random
  bytes[8] = static_cast<uint8_t>((bytes[8] & 0x3Fu) | 0x80u);  // the RFC 4122 variant
  const std::span<const uint8_t> all(bytes);
  return platform::HexBytes(all.first(4)) + "-" + platform::HexBytes(all.subspan(4, 2)) + "-" +
         platform::HexBytes(all.subspan(6, 2)) + "-" + platform::HexBytes(all.subspan(8, 2)) + "-" +
         platform::HexBytes(all.subspan(10));
}

int64_t EpochMs(std::chrono::system_clock::time_point when) {
  return std::chrono::duration_cast<std::chrono::milliseconds>(when.time_since_epoch()).count();
}

std::string IsoUtc(int64_t epochMs) {
  const std::chrono::sys_days day = std::chrono::floor<std::chrono::days>(
      std::chrono::sys_time<std::chrono::milliseconds>(std::chrono::milliseconds(epochMs)));
  const std::chrono::year_month_day date(day);
  const int64_t inDay = epochMs - EpochMs(day);
  std::array<char, 96> text{};  // room for any year the type can hold
  std::snprintf(text.data(), text.size(), "%04d-%02u-%02uT%02lld:%02lld:%02lld.%03lldZ",
                static_cast<int>(date.year()), static_cast<unsigned>(date.month()),
                static_cast<unsigned>(date.day()), static_cast<long long>(inDay / 3600000),
                static_cast<long long>(inDay / 60000 % 60),
                static_cast<long long>(inDay / 1000 % 60), static_cast<long long>(inDay % 1000));
  return text.data();
}

namespace {

void FillDevice(Record& record, const protocol::InterfaceRecord& device) {
  record.port = device.portPath;
  if (device.usb) {
    record.usbVid = device.usb->vid;
    record.usbPid = device.usb->pid;
    record.usbSerial = device.usb->serial;
  }
  // A record with no bootloader version is an unused table entry: the device is not known.
  if (device.bootloaderVersion == 0) {
    return;
  }
  record.deviceId = discovery::WordHex(device.deviceId);
  record.deviceName = discovery::LookupDeviceName(device.deviceId);
  record.bootloaderVersion = discovery::WordHex(device.bootloaderVersion);
  record.firmwareVersion = discovery::WordHex(device.firmwareVersion);
  if (device.serialLength > 0) {
    record.serial = discovery::SerialHex(device.Serial());
  }
}

void FillOutcome(Record& record, const protocol::InterfaceRecord& device,
                 const image::FirmwareImage* image, const update::FlashOutcome& outcome) {
  const update::FlashResult result = update::ResultOf(outcome);
  record.result = update::FlashResultName(result);
  const update::UpdateError failure = outcome ? update::UpdateError{} : outcome.error();
  if (!outcome) {
    record.status = failure.statusLine;
  }
  if (result == update::FlashResult::WriteFailed || result == update::FlashResult::Interrupted) {
    record.failedBlock = failure.failedBlock;
  }
  if (failure.blockCount > 0) {
    record.blockCount = failure.blockCount;
  } else if (image != nullptr && device.HasUsableBlockSize()) {
    record.blockCount = (image->length + device.blockSize - 1u) / device.blockSize;
  }
}

}  // namespace

Record RecordOfAttempt(const StationIdentity& identity, const protocol::InterfaceRecord& device,
                       const image::FirmwareImage* image, const std::string& imagePath,
                       const std::string& sha256, const update::FlashOutcome& outcome,
                       std::chrono::system_clock::time_point startedAt,
                       std::chrono::system_clock::time_point endedAt, int64_t durationMs) {
  Record record;
  record.id = NewRecordId();
  record.startedAtMs = EpochMs(startedAt);
  record.endedAtMs = EpochMs(endedAt);
  record.station = identity.station;
  record.operatorName = identity.operatorName;
  record.programVersion = identity.programVersion;
  FillDevice(record, device);
  if (!imagePath.empty()) {
    record.imagePath = imagePath;
  }
  if (image != nullptr) {
    record.imageSha256 = sha256;
    record.imageHeaderVersion = image->headerVersion;
    record.imageLength = image->length;
  }
  FillOutcome(record, device, image, outcome);
  record.durationMs = durationMs;
  return record;
}

}  // namespace lumaflash::records
