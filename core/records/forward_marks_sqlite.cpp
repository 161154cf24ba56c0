// What the local store keeps of forwarding: which records the server has committed.
#include "core/records/record_fields.h"
#include "core/records/record_store.h"
#include "core/records/sqlite_statement.h"

namespace lumaflash::records {

using sqlite::Statement;
using sqlite::StoreFailure;

// An attempt that still runs is not forwarded: the server keeps the first copy of a record.
RecordsResult<std::vector<Record>> RecordStore::Unforwarded(std::size_t limit) {
  Statement select(m_db, "SELECT " + ColumnList() +
                             " FROM records WHERE forwarded = 0 AND owner IS NULL ORDER BY "
                             "started_at LIMIT ?1");
  if (!select.Prepared()) {
    return RecordsFailure(StoreFailure(m_path, m_db, "read"));
  }
  select.Bind(1, static_cast<int64_t>(limit));
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

RecordsResult<void> RecordStore::MarkForwarded(const std::vector<std::string>& ids) {
  sqlite::Transaction transaction(m_db, "BEGIN IMMEDIATE");
  if (!transaction.Begun()) {
    return RecordsFailure(StoreFailure(m_path, m_db, "written"));
  }
  Statement update(m_db, "UPDATE records SET forwarded = 1 WHERE id = ?1");
  bool done = update.Prepared();
  for (std::size_t i = 0; done && i < ids.size(); ++i) {
    sqlite3_reset(update.Handle());
    update.Bind(1, ids[i]);
    done = sqlite3_step(update.Handle()) == SQLITE_DONE;
  }
  if (!done || !transaction.Commit()) {
    return RecordsFailure(StoreFailure(m_path, m_db, "written"));
  }
  return {};
}

std::optional<std::size_t> RecordStore::CountUnforwarded() {
  Statement count(m_db, "SELECT count(*) FROM records WHERE forwarded = 0 AND owner IS NULL");
  if (!count.Prepared() || sqlite3_step(count.Handle()) != SQLITE_ROW) {
    return std::nullopt;
  }
  return static_cast<std::size_t>(count.Integer(0));
}

}  // namespace lumaflash::records
