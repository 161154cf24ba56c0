#include "web/tables.h"

#include <cstdio>

#include "core/records/record_fields.h"
#include "web/escape.h"
#include "web/plots.h"

namespace lumaflash::web {

namespace {

std::string Number(int64_t value) {
  return std::to_string(value);
}

std::string Percent(double value) {
  char text[32];
  std::snprintf(text, sizeof text, "%.1f", value);
  return text;
}

// The CSV form of a JSON value: strings without their quotes and escapes, null as nothing.
std::string CsvOfJson(const std::string& json) {
  if (json == "null") {
    return {};
  }
  if (json.empty() || json.front() != '"') {
    return json;
  }
  std::string text;
  for (std::size_t i = 1; i + 1 < json.size(); ++i) {
    if (json[i] != '\\') {
      text += json[i];
    } else if (json[i + 1] == 'u') {
      text += static_cast<char>(std::stoi(json.substr(i + 2, 4), nullptr, 16));
      i += 5;
    } else {
      text += json[++i];
    }
  }
  return CsvField(text);
}

}  // namespace

Table RecordTable(const std::vector<records::Record>& rows) {
  Table table;
  for (const records::RecordField& field : records::kRecordFields) {
    table.keys.emplace_back(field.key);
  }
  for (const records::Record& record : rows) {
    std::vector<std::string> cells;
    for (const records::RecordField& field : records::kRecordFields) {
      if (records::IsTextField(field) || field.type == records::FieldType::Time) {
        const auto text = records::FieldText(record, field);
        cells.push_back(text ? JsonString(*text) : "null");
      } else {
        const auto number = records::FieldNumber(record, field);
        cells.push_back(number ? Number(*number) : "null");
      }
    }
    table.cells.push_back(std::move(cells));
  }
  return table;
}

Table SummaryTable(const std::vector<records::SummaryRow>& rows, bool byDay) {
  Table table;
  table.keys = byDay ? std::vector<std::string>{"day"}
                     : std::vector<std::string>{"station", "deviceId", "deviceName"};
  for (const char* key : {"attempts", "unitsUpdated", "failures", "unitsAttempted",
                          "firstPassUnits", "firstPassYield"}) {
    table.keys.emplace_back(key);
  }
  for (const records::SummaryRow& row : rows) {
    std::vector<std::string> cells =
        byDay ? std::vector<std::string>{JsonString(row.day)}
              : std::vector<std::string>{JsonString(row.station), JsonString(row.deviceId),
                                         JsonString(row.deviceName)};
    for (int64_t count :
         {row.attempts, row.unitsUpdated, row.failures, row.unitsAttempted, row.firstPassUnits}) {
      cells.push_back(Number(count));
    }
    cells.push_back(Percent(FirstPassYield(row)));
    table.cells.push_back(std::move(cells));
  }
  return table;
}

Table FailureTable(const std::vector<records::FailureRow>& rows) {
  Table table;
  table.keys = {"deviceId", "deviceName", "result", "failedBlock", "count"};
  for (const records::FailureRow& row : rows) {
    table.cells.push_back({JsonString(row.deviceId), JsonString(row.deviceName),
                           JsonString(row.result),
                           row.failedBlock ? Number(*row.failedBlock) : "null", Number(row.count)});
  }
  return table;
}

std::string TableJson(const Table& table) {
  std::string json = "[";
  for (std::size_t row = 0; row < table.cells.size(); ++row) {
    json += row == 0 ? "{" : ",\n{";
    for (std::size_t i = 0; i < table.keys.size(); ++i) {
      json += (i == 0 ? "" : ",") + JsonString(table.keys[i]) + ":" + table.cells[row][i];
    }
    json += "}";
  }
  return json + "]\n";
}

std::string TableCsv(const Table& table) {
  std::string csv;
  for (std::size_t i = 0; i < table.keys.size(); ++i) {
    csv += (i == 0 ? "" : ",") + table.keys[i];
  }
  csv += "\n";
  for (const auto& row : table.cells) {
    for (std::size_t i = 0; i < row.size(); ++i) {
      csv += (i == 0 ? "" : ",") + CsvOfJson(row[i]);
    }
    csv += "\n";
  }
  return csv;
}

}  // namespace lumaflash::web
