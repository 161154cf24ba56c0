#include "core/records/record.h"

#include <array>
#include <cstdio>
#include <ctime>
#include <span>

#include "core/discovery/catalogue.h"
#include "core/platform/hex.h"
#include "core/platform/random_bytes.h"
#include "core/platform/text_path.h"
#include "core/records/record_fields.h"

namespace lumaflash::records {

RecordsResult<std::string> NewRecordId(int64_t epochMs) {
  std::array<uint8_t, 16> bytes{};
  if (auto drawn = platform::RandomBytes(std::span(bytes).subspan(6)); !drawn) {
    return RecordsFailure("no record id could be made: the system's random generator failed (" +
                          std::to_string(drawn.error().osError) + ")");
  }
  for (std::size_t i = 0; i < 6; ++i) {  // 48 bits of milliseconds, most significant first
    bytes[i] = static_cast<uint8_t>(static_cast<uint64_t>(epochMs) >> (8 * (5 - i)));
  }
  bytes[6] = static_cast<uint8_t>((bytes[6] & 0x0Fu) | 0x70u);  // version 7: time-ordered
  bytes[8] = static_cast<uint8_t>((bytes[8] & 0x3Fu) | 0x80u);  // the RFC 9562 variant
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

std::optional<int64_t> BlockCountOf(const protocol::InterfaceRecord& device,
                                    const image::FirmwareImage* image) {
  if (image == nullptr || !device.HasUsableBlockSize()) {
    return std::nullopt;
  }
  return (image->length + device.blockSize - 1u) / device.blockSize;
}

}  // namespace

RecordsResult<Record> RecordOfAttempt(const StationIdentity& identity,
                                      const protocol::InterfaceRecord& device,
                                      const image::FirmwareImage* image,
                                      const std::string& imagePath, const std::string& sha256,
                                      std::chrono::system_clock::time_point startedAt) {
  Record record;
  record.startedAtMs = EpochMs(startedAt);
  auto id = NewRecordId(record.startedAtMs);
  if (!id) {
    return MakeUnexpected(id.error());
  }
  record.id = *id;
  record.endedAtMs = record.startedAtMs;
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
  record.blockCount = BlockCountOf(device, image);
  record.result = kUnfinished;
  MakeTextsWellFormed(record);
  return record;
}

void FinishRecord(Record& record, const update::FlashOutcome& outcome,
                  std::chrono::system_clock::time_point endedAt, int64_t durationMs) {
  const update::FlashResult result = update::ResultOf(outcome);
  record.result = update::FlashResultName(result);
  record.status.reset();
  record.failedBlock.reset();
  if (!outcome) {
    const update::UpdateError& failure = outcome.error();
    record.status = platform::WellFormedUtf8(failure.statusLine);
    if (result == update::FlashResult::WriteFailed || result == update::FlashResult::Interrupted) {
      record.failedBlock = failure.failedBlock;
    }
    if (failure.blockCount > 0) {
      record.blockCount = failure.blockCount;
    }
  }
  record.endedAtMs = EpochMs(endedAt);
  record.durationMs = durationMs;
}

void MakeTextsWellFormed(Record& record) {
  for (const RecordField& field : kRecordFields) {
    if (IsTextField(field)) {
      if (std::optional<std::string> text = FieldText(record, field)) {
        SetFieldText(record, field, platform::WellFormedUtf8(*text));
      }
    }
  }
}

}  // namespace lumaflash::records
