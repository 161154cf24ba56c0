// The questions asked of the server.
#include <vector>

#include "core/records/pq_connection.h"
#include "core/records/record_fields.h"
#include "core/records/server.h"

namespace lumaflash::records {

namespace {

// Times come back as milliseconds, ids as text, like the local store's.
std::string SelectList() {
  std::string list;
  for (const RecordField& field : kRecordFields) {
    const std::string column(field.column);
    std::string item = column;
    if (field.type == FieldType::Time) {
      item = "(extract(epoch FROM " + column + ") * 1000)::bigint";
    } else if (field.serverType == "uuid") {
      item = column + "::text";
    }
    list += (list.empty() ? "" : ", ") + item;
  }
  return list;
}

Record ReadRow(PGresult* result, int row) {
  Record record;
  int column = 0;
  for (const RecordField& field : kRecordFields) {
    std::optional<std::string> text = pq::Text(result, row, column++);
    if (IsTextField(field)) {
      SetFieldText(record, field, std::move(text));
    } else {
      SetFieldNumber(record, field,
                     text ? std::optional<int64_t>(std::stoll(*text)) : std::nullopt);
    }
  }
  return record;
}

}  // namespace

RecordsResult<std::vector<Record>> FindOnServer(const std::string& uri,
                                                const RecordFilter& filter) {
  auto connection = pq::Open(uri);
  if (!connection) {
    return MakeUnexpected(connection.error());
  }
  std::string sql = "SELECT " + SelectList() + " FROM records";
  // Fixed pieces, one per filter that is set; the values go as parameters.
  std::vector<std::string> values;
  auto add = [&](const char* column, const std::optional<std::string>& value) {
    if (value) {
      values.push_back(*value);
      sql += (values.size() == 1 ? " WHERE " : " AND ") + std::string(column) + " $" +
             std::to_string(values.size());
    }
  };
  auto time = [](const std::optional<int64_t>& ms) {
    return ms ? std::optional<std::string>(IsoUtc(*ms)) : std::nullopt;
  };
  add("started_at >=", time(filter.sinceMs));
  add("started_at <", time(filter.untilMs));
  add("serial =", filter.serial);
  add("usb_serial =", filter.usbSerial);
  add("image_sha256 =", filter.imageSha256);
  add("image_path =", filter.imagePath);
  add("result =", filter.result);
  add("station =", filter.station);
  add("device_id =", filter.deviceId);
  sql += " ORDER BY started_at DESC, id";
  std::vector<const char*> pointers;
  pointers.reserve(values.size());
  for (const std::string& value : values) {
    pointers.push_back(value.c_str());
  }
  const pq::Result result(PQexecParams(connection->get(), sql.c_str(),
                                       static_cast<int>(pointers.size()), nullptr, pointers.data(),
                                       nullptr, nullptr, 0));
  if (PQresultStatus(result.get()) != PGRES_TUPLES_OK) {
    return RecordsFailure("the records server could not be asked (" +
                          pq::Reason(connection->get()) + ")");
  }
  std::vector<Record> found;
  for (int row = 0; row < PQntuples(result.get()); ++row) {
    found.push_back(ReadRow(result.get(), row));
  }
  return found;
}

}  // namespace lumaflash::records
