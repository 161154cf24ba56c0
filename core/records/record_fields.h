#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "core/records/record.h"

namespace lumaflash::records {

// How a field is held and shown. Times are milliseconds since the Unix epoch (UTC) in the
// program and the local store, `timestamptz` on the server and ISO 8601 text
// ("2026-12-08T01:02:03.456Z") in JSON and CSV.
enum class FieldType { Text, OptionalText, Integer, OptionalInteger, Time };

// One field of a record, as every store, reader and writer names it. Exactly the member that
// matches `type` is set.
struct RecordField {
  std::string_view column;  // in the local store and on the server
  std::string_view key;     // JSON key and CSV header
  FieldType type;
  std::string_view serverType;  // the column's type on the server (docs/records.sql)
  std::string Record::*text = nullptr;
  std::optional<std::string> Record::*optionalText = nullptr;
  int64_t Record::*integer = nullptr;
  std::optional<int64_t> Record::*optionalInteger = nullptr;
};

// The fields of a record, in the order of the JSON objects, the CSV columns and the stores'
// columns. A new field is added here and nowhere else; the statements and writers follow.
inline constexpr std::array<RecordField, 24> kRecordFields{{
    {.column = "id",
     .key = "id",
     .type = FieldType::Text,
     .serverType = "uuid",
     .text = &Record::id},
    {.column = "started_at",
     .key = "startedAt",
     .type = FieldType::Time,
     .serverType = "timestamptz",
     .integer = &Record::startedAtMs},
    {.column = "ended_at",
     .key = "endedAt",
     .type = FieldType::Time,
     .serverType = "timestamptz",
     .integer = &Record::endedAtMs},
    {.column = "station",
     .key = "station",
     .type = FieldType::Text,
     .serverType = "text",
     .text = &Record::station},
    {.column = "operator",
     .key = "operator",
     .type = FieldType::Text,
     .serverType = "text",
     .text = &Record::operatorName},
    {.column = "program_version",
     .key = "version",
     .type = FieldType::Text,
     .serverType = "text",
     .text = &Record::programVersion},
    {.column = "port",
     .key = "port",
     .type = FieldType::Text,
     .serverType = "text",
     .text = &Record::port},
    {.column = "usb_vid",
     .key = "usbVid",
     .type = FieldType::OptionalText,
     .serverType = "text",
     .optionalText = &Record::usbVid},
    {.column = "usb_pid",
     .key = "usbPid",
     .type = FieldType::OptionalText,
     .serverType = "text",
     .optionalText = &Record::usbPid},
    {.column = "usb_serial",
     .key = "usbSerial",
     .type = FieldType::OptionalText,
     .serverType = "text",
     .optionalText = &Record::usbSerial},
    {.column = "device_id",
     .key = "deviceId",
     .type = FieldType::OptionalText,
     .serverType = "text",
     .optionalText = &Record::deviceId},
    {.column = "device_name",
     .key = "deviceName",
     .type = FieldType::OptionalText,
     .serverType = "text",
     .optionalText = &Record::deviceName},
    {.column = "bootloader_version",
     .key = "bootloaderVersion",
     .type = FieldType::OptionalText,
     .serverType = "text",
     .optionalText = &Record::bootloaderVersion},
    {.column = "firmware_version",
     .key = "firmwareVersion",
     .type = FieldType::OptionalText,
     .serverType = "text",
     .optionalText = &Record::firmwareVersion},
    {.column = "serial",
     .key = "serial",
     .type = FieldType::OptionalText,
     .serverType = "text",
     .optionalText = &Record::serial},
    {.column = "image_path",
     .key = "image",
     .type = FieldType::OptionalText,
     .serverType = "text",
     .optionalText = &Record::imagePath},
    {.column = "image_sha256",
     .key = "sha256",
     .type = FieldType::OptionalText,
     .serverType = "text",
     .optionalText = &Record::imageSha256},
    {.column = "image_header_version",
     .key = "headerVersion",
     .type = FieldType::OptionalInteger,
     .serverType = "integer",
     .optionalInteger = &Record::imageHeaderVersion},
    {.column = "image_length",
     .key = "payloadLength",
     .type = FieldType::OptionalInteger,
     .serverType = "bigint",
     .optionalInteger = &Record::imageLength},
    {.column = "result",
     .key = "result",
     .type = FieldType::Text,
     .serverType = "text",
     .text = &Record::result},
    {.column = "status",
     .key = "status",
     .type = FieldType::OptionalText,
     .serverType = "text",
     .optionalText = &Record::status},
    {.column = "failed_block",
     .key = "failedBlock",
     .type = FieldType::OptionalInteger,
     .serverType = "integer",
     .optionalInteger = &Record::failedBlock},
    {.column = "block_count",
     .key = "blockCount",
     .type = FieldType::OptionalInteger,
     .serverType = "integer",
     .optionalInteger = &Record::blockCount},
    {.column = "duration_ms",
     .key = "durationMs",
     .type = FieldType::Integer,
     .serverType = "bigint",
     .integer = &Record::durationMs},
}};

// "id, started_at, ...": every column, in order, for statements of either store.
std::string ColumnList();

// A field's value as text: a time as ISO 8601 UTC, a number in decimal; nothing when unset.
std::optional<std::string> FieldText(const Record& record, const RecordField& field);

// A number or time field's value; nothing for text fields and unset numbers.
std::optional<int64_t> FieldNumber(const Record& record, const RecordField& field);

// Sets a text field, or a number field (a time given as milliseconds); nothing clears an
// optional field and leaves a required one as it was.
void SetFieldText(Record& record, const RecordField& field, std::optional<std::string> text);
void SetFieldNumber(Record& record, const RecordField& field, std::optional<int64_t> number);

// Whether a field holds text (as opposed to a number or a time).
constexpr bool IsTextField(const RecordField& field) {
  return field.type == FieldType::Text || field.type == FieldType::OptionalText;
}

}  // namespace lumaflash::records
