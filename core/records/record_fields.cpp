#include "core/records/record_fields.h"

namespace lumaflash::records {

std::string ColumnList() {
  std::string list;
  for (const RecordField& field : kRecordFields) {
    list += (list.empty() ? "" : ", ") + std::string(field.column);
  }
  return list;
}

std::optional<std::string> FieldText(const Record& record, const RecordField& field) {
  switch (field.type) {
    case FieldType::Text:
      return record.*field.text;
    case FieldType::OptionalText:
      return record.*field.optionalText;
    case FieldType::Time:
      return IsoUtc(record.*field.integer);
    case FieldType::Integer:
    case FieldType::OptionalInteger:
      break;
  }
  const std::optional<int64_t> number = FieldNumber(record, field);
  return number ? std::optional<std::string>(std::to_string(*number)) : std::nullopt;
}

std::optional<int64_t> FieldNumber(const Record& record, const RecordField& field) {
  switch (field.type) {
    case FieldType::Integer:
    case FieldType::Time:
      return record.*field.integer;
    case FieldType::OptionalInteger:
      return record.*field.optionalInteger;
    case FieldType::Text:
    case FieldType::OptionalText:
      break;
  }
  return std::nullopt;
}

void SetFieldText(Record& record, const RecordField& field, std::optional<std::string> text) {
  if (field.type == FieldType::Text && text) {
    record.*field.text = std::move(*text);
  } else if (field.type == FieldType::OptionalText) {
    record.*field.optionalText = std::move(text);
  }
}

void SetFieldNumber(Record& record, const RecordField& field, std::optional<int64_t> number) {
  if ((field.type == FieldType::Integer || field.type == FieldType::Time) && number) {
    record.*field.integer = *number;
  } else if (field.type == FieldType::OptionalInteger) {
    record.*field.optionalInteger = number;
  }
}

}  // namespace lumaflash::records
