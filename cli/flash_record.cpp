#include "cli/flash_record.h"

#include <array>
#include <cstdio>
#include <cstring>
#include <optional>

#include "cli/json.h"
#include "core/discovery/catalogue.h"
#include "core/platform/local_time.h"
#include "core/platform/log_file.h"
#include "core/platform/text_path.h"

namespace lumaflash::cli {

std::string CsvField(const std::string& text) {
  if (text.find_first_of(",\"\r\n") == std::string::npos) {
    return text;
  }
  std::string quoted = "\"";
  for (char c : text) {
    quoted += c == '"' ? std::string("\"\"") : std::string(1, c);
  }
  return quoted + "\"";
}

std::string LocalTimestamp(std::chrono::system_clock::time_point when) {
  const std::optional<platform::LocalTime> local = platform::ToLocalTime(when);
  if (!local) {
    return {};
  }
  // ISO 8601's extended form: 2026-12-06T09:30:00+01:00.
  const int offset = local->utcOffsetMinutes;
  const int minutes = offset < 0 ? -offset : offset;
  std::array<char, 48> stamp{};
  std::snprintf(stamp.data(), stamp.size(), "%04d-%02d-%02dT%02d:%02d:%02d%c%02d:%02d", local->year,
                local->month, local->day, local->hour, local->minute, local->second,
                offset < 0 ? '-' : '+', minutes / 60, minutes % 60);
  return stamp.data();
}

const char* const kCsvHeader =
    "timestamp,port,serial,deviceId,firmwareVersion,image,sha256,result,status,durationMs,"
    "usbSerial";

std::string RecordJson(const FlashRecord& record) {
  const auto& usb = record.device.usb;
  const bool succeeded = record.outcome.has_value();
  const Json object = {
      {"port", record.device.portPath},
      {"serial", record.device.serialLength > 0 ? Json(discovery::SerialHex(record.device.Serial()))
                                                : Json(nullptr)},
      // The bootloader may report no serial number; the USB device's own then tells units apart.
      {"usbSerial", OrNull(usb ? usb->serial : std::nullopt)},
      {"deviceId", discovery::WordHex(record.device.deviceId)},
      {"firmwareVersion", discovery::WordHex(record.device.firmwareVersion)},
      {"image", record.imagePath},
      {"sha256", record.sha256},
      {"result", update::FlashResultName(update::ResultOf(record.outcome))},
      {"status", succeeded ? Json(nullptr) : Json(record.outcome.error().statusLine)},
      {"durationMs", record.durationMs}};
  return DumpJson(object);
}

std::string RecordCsv(const FlashRecord& record) {
  const std::string fields[] = {
      record.timestamp,
      record.device.portPath,
      discovery::SerialHex(record.device.Serial()),
      discovery::WordHex(record.device.deviceId),
      discovery::WordHex(record.device.firmwareVersion),
      record.imagePath,
      record.sha256,
      update::FlashResultName(update::ResultOf(record.outcome)),
      record.outcome ? std::string() : record.outcome.error().statusLine,
      std::to_string(record.durationMs),
      record.device.usb ? record.device.usb->serial.value_or("") : "",
  };
  std::string line;
  for (std::size_t i = 0; i < std::size(fields); ++i) {
    line += (i > 0 ? "," : "") + CsvField(fields[i]);
  }
  return line;
}

Expected<void, platform::LogFileError> AppendCsv(const std::filesystem::path& path,
                                                 const FlashRecord& record) {
  return platform::AppendLocked(path, kCsvHeader, RecordCsv(record));
}

std::string FailureText(const update::FlashOutcome& outcome) {
  return outcome ? "ok" : update::Describe(outcome.error());
}

}  // namespace lumaflash::cli
