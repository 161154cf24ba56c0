// The questions asked of the local store.
#include <utility>

#include "core/records/record_fields.h"
#include "core/records/record_store.h"
#include "core/records/sqlite_statement.h"

namespace lumaflash::records {

namespace {

using sqlite::Statement;
using sqlite::StoreFailure;

// The WHERE clause is put together from fixed pieces, one per filter that is set, so that
// each question uses its index; the values themselves are always bound.
struct Condition {
  const char* sql;
  std::optional<std::string> text;
  std::optional<int64_t> number;
};

std::vector<Condition> Conditions(const RecordFilter& filter) {
  std::vector<Condition> conditions;
  if (filter.sinceMs) {
    conditions.push_back({"started_at >= ?", std::nullopt, filter.sinceMs});
  }
  if (filter.untilMs) {
    conditions.push_back({"started_at < ?", std::nullopt, filter.untilMs});
  }
  const std::pair<const char*, const std::optional<std::string>*> texts[] = {
      {"serial = ?", &filter.serial},
      {"usb_serial = ?", &filter.usbSerial},
      {"image_sha256 = ?", &filter.imageSha256},
      {"image_path = ?", &filter.imagePath},
      {"result = ?", &filter.result},
      {"station = ?", &filter.station},
      {"device_id = ?", &filter.deviceId},
  };
  for (const auto& [sql, value] : texts) {
    if (*value) {
      conditions.push_back({sql, **value, std::nullopt});
    }
  }
  return conditions;
}

}  // namespace

RecordsResult<std::vector<Record>> RecordStore::Find(const RecordFilter& filter) {
  const std::vector<Condition> conditions = Conditions(filter);
  std::string sql = "SELECT " + ColumnList() + " FROM records";
  for (std::size_t i = 0; i < conditions.size(); ++i) {
    sql += (i == 0 ? " WHERE " : " AND ") + std::string(conditions[i].sql);
  }
  sql += " ORDER BY started_at DESC, id";
  Statement select(m_db, sql);
  if (!select.Prepared()) {
    return RecordsFailure(StoreFailure(m_path, m_db, "read"));
  }
  for (std::size_t i = 0; i < conditions.size(); ++i) {
    const int index = static_cast<int>(i) + 1;
    conditions[i].text ? select.Bind(index, *conditions[i].text)
                       : select.Bind(index, *conditions[i].number);
  }
  std::vector<Record> found;
  int status = SQLITE_ROW;
  while ((status = sqlite3_step(select.Handle())) == SQLITE_ROW) {
    found.push_back(select.ReadRecord());
  }
  if (status != SQLITE_DONE) {
    return RecordsFailure(StoreFailure(m_path, m_db, "read"));
  }
  return found;
}

}  // namespace lumaflash::records
