#include "cli/flash_record.h"

#include <cstdio>
#include <cstring>

#include "cli/json.h"
#include "core/discovery/catalogue.h"
#include "core/platform/log_file.h"
#include "core/platform/text_path.h"

namespace lumaflash::cli {

namespace {

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

}  // namespace

const char* const kCsvHeader =
    "timestamp,port,serial,deviceId,firmwareVersion,image,sha256,result,status,durationMs,"
    "usbSerial";

std::string RecordJson(const FlashRecord& record) {
  const auto& usb = record.device.usb;
  const bool succeeded = record.outcome.result == update::FlashResult::Success;
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
      {"result", update::FlashResultName(record.outcome.result)},
      {"status", succeeded ? Json(nullptr) : Json(record.outcome.statusLine)},
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
      update::FlashResultName(record.outcome.result),
      record.outcome.statusLine,
      std::to_string(record.durationMs),
      record.device.usb ? record.device.usb->serial.value_or("") : "",
  };
  std::string line;
  for (std::size_t i = 0; i < std::size(fields); ++i) {
    line += (i > 0 ? "," : "") + CsvField(fields[i]);
  }
  return line;
}

bool AppendCsv(const std::filesystem::path& path, const FlashRecord& record, std::string& error) {
  const int failed = AppendLocked(path, kCsvHeader, RecordCsv(record));
  if (failed != 0) {
    error = "cannot write the log " + platform::Utf8FromPath(path) + " (" + std::strerror(failed) +
            "): check that its folder exists and is writable.";
    return false;
  }
  return true;
}

std::string FailureText(const update::FlashOutcome& outcome) {
  if (outcome.result == update::FlashResult::Success) {
    return "ok";
  }
  std::string text = update::FlashResultName(outcome.result);
  if (!outcome.statusLine.empty()) {
    text += ": " + outcome.statusLine;
  }
  if (outcome.port.error != serial::PortError::None) {
    text += " " + serial::DescribePortFailure(outcome.port);
  }
  return text;
}

}  // namespace lumaflash::cli
