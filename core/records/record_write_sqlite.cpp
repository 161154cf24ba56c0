// The writes of one attempt's row: begun before its first packet, noted as it goes, finished
// at its end; and a record committed whole.
#include <string>

#include "core/records/attempt_owner.h"
#include "core/records/record_fields.h"
#include "core/records/record_store.h"
#include "core/records/sqlite_statement.h"

namespace lumaflash::records {

using sqlite::Execute;
using sqlite::Named;
using sqlite::Placeholders;
using sqlite::Statement;
using sqlite::StoreFailure;

RecordsResult<void> RecordStore::Begin(const Record& record) {
  // The row goes into the -wal file without waiting for the disk: the line does not wait for a
  // sync before the start packet. The note that follows it (NoteProgress) is synced, and a sync
  // of the -wal file carries every row before it.
  Execute(m_db, "PRAGMA synchronous=NORMAL");
  auto inserted = Insert(record, true);
  Execute(m_db, "PRAGMA synchronous=FULL");
  return inserted;
}

RecordsResult<void> RecordStore::Commit(const Record& record) {
  return Insert(record, false);
}

// Every field goes in bound in the order of kRecordFields as ?1..?N, and for a begun attempt its
// owner as ?N+1.
RecordsResult<void> RecordStore::Insert(const Record& record, bool owned) {
  const std::size_t fields = kRecordFields.size();
  Statement insert(m_db, "INSERT INTO records (" + ColumnList() + (owned ? ", owner" : "") +
                             ") VALUES (" + Placeholders(fields + (owned ? 1 : 0)) + ")");
  if (!insert.Prepared()) {
    return RecordsFailure(StoreFailure(m_path, m_db, "written"));
  }
  insert.BindRecord(record);
  if (owned) {
    insert.Bind(static_cast<int>(fields) + 1, ThisProcessOwner());
  }
  if (sqlite3_step(insert.Handle()) == SQLITE_DONE) {
    return {};
  }
  if (sqlite3_extended_errcode(m_db) == SQLITE_CONSTRAINT_PRIMARYKEY) {
    return RecordsFailure(Named(m_path) + " already holds a record with the id " + record.id +
                          "; the new one was not written, and the old one is unchanged");
  }
  return RecordsFailure(StoreFailure(m_path, m_db, "written"));
}

RecordsResult<void> RecordStore::NoteProgress(const std::string& id, int64_t block,
                                              int64_t endedAtMs, int64_t durationMs) {
  Statement update(m_db,
                   "UPDATE records SET failed_block = ?2, ended_at = ?3, duration_ms = ?4 "
                   "WHERE id = ?1 AND owner IS NOT NULL AND result = ?5");
  update.Bind(1, id);
  update.Bind(2, block);
  update.Bind(3, endedAtMs);
  update.Bind(4, durationMs);
  update.Bind(5, std::string(kUnfinished));
  if (!update.Prepared() || sqlite3_step(update.Handle()) != SQLITE_DONE) {
    return RecordsFailure(StoreFailure(m_path, m_db, "written"));
  }
  return {};
}

RecordsResult<void> RecordStore::Finish(const Record& record) {
  const std::size_t fields = kRecordFields.size();
  Statement update(m_db, "UPDATE records SET (" + ColumnList() + ") = (" + Placeholders(fields) +
                             "), owner = NULL WHERE id = ?1 AND result = ?" +
                             std::to_string(fields + 1));
  if (!update.Prepared()) {
    return RecordsFailure(StoreFailure(m_path, m_db, "written"));
  }
  update.BindRecord(record);
  update.Bind(static_cast<int>(fields) + 1, std::string(kUnfinished));
  if (sqlite3_step(update.Handle()) != SQLITE_DONE) {
    return RecordsFailure(StoreFailure(m_path, m_db, "written"));
  }
  if (sqlite3_changes(m_db) != 1) {
    return RecordsFailure(Named(m_path) + " holds no unfinished attempt with the id " + record.id +
                          " (was the store replaced while the attempt ran?)");
  }
  return {};
}

}  // namespace lumaflash::records
