#include "cli/flash_record.h"

#include <cstdio>
#include <cstring>

#include "cli/json.h"
#include "core/discovery/catalogue.h"
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

const char* const kCsvHeader =
    "timestamp,port,serial,deviceId,firmwareVersion,image,sha256,result,status,durationMs,"
    "usbSerial";

std::string RecordJson(const FlashRecord& record) {
  JsonObject object;
  object.Add("port", record.device.portPath);
  if (record.device.serialLength > 0) {
    object.Add("serial", discovery::SerialHex(record.device.Serial()));
  } else {
    object.AddNull("serial");
  }
  // The bootloader may report no serial number; the USB device's own then tells units apart.
  const auto& usb = record.device.usb;
  if (usb && usb->serial) {
    object.Add("usbSerial", *usb->serial);
  } else {
    object.AddNull("usbSerial");
  }
  object.Add("deviceId", discovery::WordHex(record.device.deviceId))
      .Add("firmwareVersion", discovery::WordHex(record.device.firmwareVersion))
      .Add("image", record.imagePath)
      .Add("sha256", record.sha256)
      .Add("result", update::FlashResultName(record.outcome.result));
  if (record.outcome.result == update::FlashResult::Success) {
    object.AddNull("status");
  } else {
    object.Add("status", record.outcome.statusLine);
  }
  object.Add("durationMs", record.durationMs);
  return object.Text();
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
