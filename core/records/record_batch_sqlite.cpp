// Many records in one transaction: one sync to disk for all of them (imports, the benchmark's
// generator), through the same statement as a single commit.
#include "core/records/record_fields.h"
#include "core/records/record_store.h"
#include "core/records/sqlite_statement.h"

namespace lumaflash::records {

RecordsResult<void> RecordStore::CommitAll(std::span<const Record> records) {
  sqlite::Transaction transaction(m_db, "BEGIN IMMEDIATE");
  if (!transaction.Begun()) {
    return RecordsFailure(sqlite::StoreFailure(m_path, m_db, "written"));
  }
  sqlite::Statement insert(m_db, "INSERT OR IGNORE INTO records (" + ColumnList() + ") VALUES (" +
                                     sqlite::Placeholders(kRecordFields.size()) + ")");
  bool done = insert.Prepared();
  for (std::size_t i = 0; done && i < records.size(); ++i) {
    sqlite3_reset(insert.Handle());
    insert.BindRecord(records[i]);
    done = sqlite3_step(insert.Handle()) == SQLITE_DONE;
  }
  if (!done || !transaction.Commit()) {
    return RecordsFailure(sqlite::StoreFailure(m_path, m_db, "written"));
  }
  return {};
}

}  // namespace lumaflash::records
