// What the local store keeps of forwarding: per server, the place up to which the ready records
// have gone, and the records that server refused for good.
#include <chrono>
#include <system_error>

#include "core/platform/text_path.h"
#include "core/records/record_fields.h"
#include "core/records/record_store.h"
#include "core/records/sqlite_statement.h"

namespace lumaflash::records {

using sqlite::Named;
using sqlite::Statement;
using sqlite::StoreFailure;

namespace {

int64_t NowMs() {
  return EpochMs(std::chrono::system_clock::now());
}

// Reads the rows of `select` (a record's columns, then its place) to the end.
RecordsResult<std::vector<ReadyRecord>> ReadReady(Statement& select, sqlite3* db,
                                                  const std::filesystem::path& path) {
  std::vector<ReadyRecord> found;
  int status = SQLITE_ROW;
  while ((status = sqlite3_step(select.Handle())) == SQLITE_ROW) {
    found.push_back({select.ReadRecord(), select.Integer(static_cast<int>(kRecordFields.size()))});
  }
  if (status != SQLITE_DONE) {
    return RecordsFailure(StoreFailure(path, db, "read"));
  }
  return found;
}

// Whether the store's layout has the records table, read without changing anything.
bool HoldsRecords(sqlite3* db) {
  Statement version(db, "PRAGMA user_version");
  Statement table(db, "SELECT 1 FROM sqlite_schema WHERE type = 'table' AND name = 'records'");
  return version.Prepared() && table.Prepared() && sqlite3_step(version.Handle()) == SQLITE_ROW &&
         version.Integer(0) > 0 && sqlite3_step(table.Handle()) == SQLITE_ROW;
}

}  // namespace

RecordsResult<void> RecordStore::CheckForwardable(const std::filesystem::path& path) {
  std::error_code noStatus;
  if (!std::filesystem::is_regular_file(path, noStatus)) {
    return RecordsFailure(Named(path) +
                          " does not exist: name the station's store with --records PATH (records "
                          "sync makes no store)");
  }
  sqlite3* db = nullptr;
  const int status =
      sqlite3_open_v2(platform::Utf8FromPath(path).c_str(), &db, SQLITE_OPEN_READONLY, nullptr);
  const bool holds = status == SQLITE_OK && HoldsRecords(db);
  std::string failure = status == SQLITE_OK ? "" : StoreFailure(path, db, "opened");
  sqlite3_close_v2(db);
  if (!failure.empty()) {
    return RecordsFailure(std::move(failure));
  }
  if (!holds) {
    return RecordsFailure(Named(path) +
                          " holds no records table. A copy of a store needs its -wal file "
                          "beside it (or make the copy with lumaflash-cli records export); "
                          "otherwise name the station's store with --records PATH");
  }
  return {};
}

RecordsResult<int64_t> RecordStore::ServerKey(const ServerIdentity& server) {
  // This connection now keeps forwarding marks. A mark that a power cut takes back only means
  // that its records are sent again, and the server keeps them once: no need to wait for the
  // disk at each batch (the records themselves were synced when they were committed).
  sqlite::Execute(m_db, "PRAGMA synchronous=NORMAL");
  Statement upsert(m_db,
                   "INSERT INTO forward_servers (identity, address, last_contact_ms) "
                   "VALUES (?1, ?2, ?3) ON CONFLICT (identity) DO UPDATE SET "
                   "address = excluded.address, last_contact_ms = excluded.last_contact_ms "
                   "RETURNING id");
  if (!upsert.Prepared()) {
    return RecordsFailure(StoreFailure(m_path, m_db, "written"));
  }
  upsert.Bind(1, server.identity);
  upsert.Bind(2, server.address);
  upsert.Bind(3, NowMs());
  if (sqlite3_step(upsert.Handle()) != SQLITE_ROW) {
    return RecordsFailure(StoreFailure(m_path, m_db, "written"));
  }
  const int64_t key = upsert.Integer(0);
  if (sqlite3_step(upsert.Handle()) != SQLITE_DONE) {
    return RecordsFailure(StoreFailure(m_path, m_db, "written"));
  }
  return key;
}

RecordsResult<std::vector<ReadyRecord>> RecordStore::WaitingFor(int64_t server, std::size_t limit) {
  Statement select(m_db, "SELECT " + ColumnList() +
                             ", ready_place FROM records WHERE ready_place > (SELECT through "
                             "FROM forward_servers WHERE id = ?1) ORDER BY ready_place LIMIT ?2");
  if (!select.Prepared()) {
    return RecordsFailure(StoreFailure(m_path, m_db, "read"));
  }
  select.Bind(1, server);
  select.Bind(2, static_cast<int64_t>(limit));
  return ReadReady(select, m_db, m_path);
}

RecordsResult<std::vector<ReadyRecord>> RecordStore::RefusedBy(int64_t server) {
  std::string columns;
  for (const RecordField& field : kRecordFields) {
    columns += (columns.empty() ? "r." : ", r.") + std::string(field.column);
  }
  Statement select(m_db, "SELECT " + columns +
                             ", r.ready_place FROM forward_rejections j JOIN records r ON r.id = "
                             "j.record_id WHERE j.server = ?1 ORDER BY r.ready_place");
  if (!select.Prepared()) {
    return RecordsFailure(StoreFailure(m_path, m_db, "read"));
  }
  select.Bind(1, server);
  return ReadReady(select, m_db, m_path);
}

RecordsResult<void> RecordStore::MarkForwarded(int64_t server, const ForwardMark& mark) {
  sqlite::Transaction transaction(m_db, "BEGIN IMMEDIATE");
  Statement through(m_db,
                    "UPDATE forward_servers SET through = max(through, ?2), last_contact_ms = ?3 "
                    "WHERE id = ?1");
  Statement refuse(m_db,
                   "INSERT OR REPLACE INTO forward_rejections (server, record_id, sql_state, "
                   "message, rejected_at_ms) VALUES (?1, ?2, ?3, ?4, ?5)");
  Statement accept(m_db, "DELETE FROM forward_rejections WHERE server = ?1 AND record_id = ?2");
  bool done = transaction.Begun() && through.Prepared() && refuse.Prepared() && accept.Prepared();
  if (done) {
    through.Bind(1, server);
    through.Bind(2, mark.through);
    through.Bind(3, NowMs());
    done = sqlite3_step(through.Handle()) == SQLITE_DONE;
  }
  for (std::size_t i = 0; done && i < mark.refused.size(); ++i) {
    const Rejection& rejection = mark.refused[i];
    sqlite3_reset(refuse.Handle());
    refuse.Bind(1, server);
    refuse.Bind(2, rejection.record.id);
    refuse.Bind(3, rejection.sqlState);
    refuse.Bind(4, rejection.message);
    refuse.Bind(5, NowMs());
    done = sqlite3_step(refuse.Handle()) == SQLITE_DONE;
  }
  for (std::size_t i = 0; done && i < mark.accepted.size(); ++i) {
    sqlite3_reset(accept.Handle());
    accept.Bind(1, server);
    accept.Bind(2, mark.accepted[i]);
    done = sqlite3_step(accept.Handle()) == SQLITE_DONE;
  }
  if (!done || !transaction.Commit()) {
    return RecordsFailure(StoreFailure(m_path, m_db, "written"));
  }
  return {};
}

std::optional<std::size_t> RecordStore::CountWaiting(std::optional<int64_t> server,
                                                     const std::string& address) {
  // The place reached on that server; a server never reached has none, and everything waits.
  Statement count(m_db,
                  "SELECT count(*) FROM records WHERE ready_place > coalesce((SELECT through FROM "
                  "forward_servers WHERE id = ?1 OR (?1 IS NULL AND address = ?2) ORDER BY "
                  "last_contact_ms DESC LIMIT 1), 0)");
  if (!count.Prepared()) {
    return std::nullopt;
  }
  count.Bind(1, server);
  count.Bind(2, address);
  if (sqlite3_step(count.Handle()) != SQLITE_ROW) {
    return std::nullopt;
  }
  return static_cast<std::size_t>(count.Integer(0));
}

RecordsResult<std::vector<Rejection>> RecordStore::Rejections() {
  // A store that no program of this version has written to yet has refused nothing.
  Statement kept(m_db, "SELECT 1 FROM sqlite_schema WHERE name = 'forward_rejections'");
  if (kept.Prepared() && sqlite3_step(kept.Handle()) == SQLITE_DONE) {
    return std::vector<Rejection>{};
  }
  std::string columns;
  for (const RecordField& field : kRecordFields) {
    columns += (columns.empty() ? "r." : ", r.") + std::string(field.column);
  }
  Statement select(m_db, "SELECT " + columns +
                             ", s.identity, j.sql_state, j.message, j.rejected_at_ms FROM "
                             "forward_rejections j JOIN records r ON r.id = j.record_id JOIN "
                             "forward_servers s ON s.id = j.server ORDER BY j.rejected_at_ms "
                             "DESC, r.started_at DESC");
  if (!select.Prepared()) {
    return RecordsFailure(StoreFailure(m_path, m_db, "read"));
  }
  std::vector<Rejection> found;
  const int after = static_cast<int>(kRecordFields.size());
  int status = SQLITE_ROW;
  while ((status = sqlite3_step(select.Handle())) == SQLITE_ROW) {
    found.push_back({select.ReadRecord(), select.Text(after), select.Text(after + 1),
                     select.Text(after + 2), select.Integer(after + 3)});
  }
  if (status != SQLITE_DONE) {
    return RecordsFailure(StoreFailure(m_path, m_db, "read"));
  }
  return found;
}

RecordsResult<void> RecordStore::ExportTo(const std::filesystem::path& copy) {
  std::error_code noStatus;
  if (std::filesystem::exists(copy, noStatus)) {
    return RecordsFailure(platform::Utf8FromPath(copy) +
                          " exists already: name a new file for the copy");
  }
  // VACUUM INTO copies one consistent state of the store, whatever a running line commits
  // meanwhile, into a single file that needs no -wal beside it.
  Statement vacuum(m_db, "VACUUM INTO ?1");
  if (!vacuum.Prepared()) {
    return RecordsFailure(StoreFailure(m_path, m_db, "read"));
  }
  vacuum.Bind(1, platform::Utf8FromPath(copy));
  if (sqlite3_step(vacuum.Handle()) != SQLITE_DONE) {
    return RecordsFailure("the copy " + platform::Utf8FromPath(copy) + " cannot be written (" +
                          sqlite3_errmsg(m_db) +
                          "): check that its folder exists and is writable and has room");
  }
  return {};
}

}  // namespace lumaflash::records
