#include <array>
#include <string_view>
#include <system_error>
#include <utility>

#include "core/platform/text_path.h"
#include "core/records/record_fields.h"
#include "core/records/record_store.h"
#include "core/records/sqlite_statement.h"

namespace lumaflash::records {

namespace {

using sqlite::Execute;
using sqlite::Named;
using sqlite::Statement;
using sqlite::StoreFailure;

// Each step brings the layout from version i to i + 1; steps are only ever added.
constexpr std::array<std::string_view, kStoreSchemaVersion> kMigrations{
    R"sql(
CREATE TABLE records (
  id TEXT PRIMARY KEY,
  started_at INTEGER NOT NULL,
  ended_at INTEGER NOT NULL,
  station TEXT NOT NULL,
  operator TEXT NOT NULL,
  program_version TEXT NOT NULL,
  port TEXT NOT NULL,
  usb_vid TEXT, usb_pid TEXT, usb_serial TEXT,
  device_id TEXT, device_name TEXT, bootloader_version TEXT, firmware_version TEXT, serial TEXT,
  image_path TEXT, image_sha256 TEXT, image_header_version INTEGER, image_length INTEGER,
  result TEXT NOT NULL,
  status TEXT,
  failed_block INTEGER, block_count INTEGER,
  duration_ms INTEGER NOT NULL,
  forwarded INTEGER NOT NULL DEFAULT 0
);
CREATE INDEX records_serial ON records (serial);
CREATE INDEX records_usb_serial ON records (usb_serial);
CREATE INDEX records_image_sha256 ON records (image_sha256);
CREATE INDEX records_image_path ON records (image_path);
CREATE INDEX records_started_at ON records (started_at);
CREATE INDEX records_station ON records (station, started_at);
CREATE INDEX records_unforwarded ON records (started_at) WHERE forwarded = 0;
)sql",
    // Version 2.
    R"sql(
-- Attempts in progress.
-- Forwarding per server.
-- A record is ready to forward once finished; ready_place numbers the records in the order they
-- became ready, so that what went to a server is one place (forward_servers.through) and what
-- waits is an index range, however large the store. The version-1 mark (forwarded) named no
-- server: those records go once more to the next server reached, which keeps them once.
ALTER TABLE records ADD COLUMN ready_place INTEGER;
UPDATE records SET ready_place = numbered.place
  FROM (SELECT id, row_number() OVER (ORDER BY started_at, id) AS place FROM records
        WHERE result <> 'in-progress') AS numbered
  WHERE records.id = numbered.id;
CREATE UNIQUE INDEX records_ready_place ON records (ready_place);
DROP INDEX IF EXISTS records_unforwarded;
CREATE TRIGGER records_ready_when_added AFTER INSERT ON records
  WHEN new.result <> 'in-progress' AND new.ready_place IS NULL
BEGIN
  UPDATE records SET ready_place = (SELECT coalesce(max(ready_place), 0) + 1 FROM records)
    WHERE rowid = new.rowid;
END;
CREATE TRIGGER records_ready_when_finished AFTER UPDATE OF result ON records
  WHEN new.result <> 'in-progress' AND new.ready_place IS NULL
BEGIN
  UPDATE records SET ready_place = (SELECT coalesce(max(ready_place), 0) + 1 FROM records)
    WHERE rowid = new.rowid;
END;
CREATE TABLE forward_servers (
  id INTEGER PRIMARY KEY,
  identity TEXT NOT NULL UNIQUE,
  address TEXT NOT NULL,
  through INTEGER NOT NULL DEFAULT 0,
  last_contact_ms INTEGER NOT NULL
);
CREATE TABLE forward_rejections (
  server INTEGER NOT NULL REFERENCES forward_servers (id),
  record_id TEXT NOT NULL,
  sql_state TEXT NOT NULL,
  message TEXT NOT NULL,
  rejected_at_ms INTEGER NOT NULL,
  PRIMARY KEY (server, record_id)
) WITHOUT ROWID;
-- Questions.
-- Each in time order, so that a listing reads its newest records first and stops at its limit:
-- a unit's attempts (first pass and rework), an image's, a result's.
DROP INDEX IF EXISTS records_serial;
CREATE INDEX records_unit ON records (serial, started_at);
DROP INDEX IF EXISTS records_image_path;
CREATE INDEX records_image_path_at ON records (image_path, started_at);
DROP INDEX IF EXISTS records_image_sha256;
CREATE INDEX records_image_sha256_at ON records (image_sha256, started_at);
CREATE INDEX records_result ON records (result, started_at);
)sql",
};

std::optional<int> LayoutVersion(sqlite3* db) {
  Statement statement(db, "PRAGMA user_version");
  if (!statement.Prepared() || sqlite3_step(statement.Handle()) != SQLITE_ROW) {
    return std::nullopt;
  }
  return static_cast<int>(statement.Integer(0));
}

// Brings the layout forward, one step per transaction, each step with its version number.
bool Migrate(sqlite3* db, int from) {
  for (int version = from; version < kStoreSchemaVersion; ++version) {
    const std::string step = "BEGIN IMMEDIATE;" +
                             std::string(kMigrations[static_cast<std::size_t>(version)]) +
                             "PRAGMA user_version = " + std::to_string(version + 1) + ";COMMIT;";
    if (!Execute(db, step.c_str())) {
      Execute(db, "ROLLBACK");
      return false;
    }
  }
  return true;
}

}  // namespace

RecordStore::RecordStore(sqlite3* db, std::filesystem::path path)
    : m_db(db), m_path(std::move(path)) {}

RecordStore::~RecordStore() {
  sqlite3_close_v2(m_db);
}

RecordsResult<std::unique_ptr<RecordStore>> RecordStore::Open(const std::filesystem::path& path,
                                                              Mode mode) {
  std::error_code noStatus;
  if (mode == Mode::Read && !std::filesystem::exists(path, noStatus)) {
    return RecordsFailure(Named(path) +
                          " does not exist: no update has been recorded there yet. Name the "
                          "store with --records PATH");
  }
  const int flags =
      mode == Mode::Write ? SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE : SQLITE_OPEN_READONLY;
  sqlite3* db = nullptr;
  const int status = sqlite3_open_v2(platform::Utf8FromPath(path).c_str(), &db,
                                     flags | SQLITE_OPEN_FULLMUTEX, nullptr);
  std::unique_ptr<RecordStore> store(new RecordStore(db, path));
  if (status != SQLITE_OK) {
    return RecordsFailure(StoreFailure(path, db, "opened"));
  }
  sqlite3_busy_timeout(db, sqlite::kBusyTimeoutMs);
  // SQLite opens a write-protected file for reading without a word; a store that cannot take
  // the next record must say so now.
  if (mode == Mode::Write && sqlite3_db_readonly(db, "main") == 1) {
    return RecordsFailure(Named(path) +
                          " is read-only: make it writable or name another store with "
                          "--records PATH");
  }
  const std::optional<int> version = LayoutVersion(db);
  if (!version) {
    return RecordsFailure(StoreFailure(path, db, "read"));
  }
  if (*version > kStoreSchemaVersion) {
    return RecordsFailure(Named(path) + " has schema version " + std::to_string(*version) +
                          ", but this Lumaflash knows versions up to " +
                          std::to_string(kStoreSchemaVersion) +
                          ": update Lumaflash, or name another store with --records PATH");
  }
  if (mode == Mode::Read) {
    // A store that an older Lumaflash left is read as it is: reading never changes it.
    if (*version == 0) {
      return RecordsFailure(Named(path) +
                            " holds no records of this Lumaflash yet (schema version 0); the "
                            "next update recorded there brings it forward");
    }
    return store;
  }
  // WAL lets the questions read while a line writes; FULL syncs every commit to the disk, so
  // a record that was reported is one that survives a power cut.
  if (!Execute(db, "PRAGMA journal_mode=WAL") || !Execute(db, "PRAGMA synchronous=FULL") ||
      !Migrate(db, *version)) {
    return RecordsFailure(StoreFailure(path, db, "written"));
  }
  return store;
}

RecordsResult<void> RecordStore::Commit(const Record& record) {
  std::string placeholders;
  for (std::size_t i = 1; i <= kRecordFields.size(); ++i) {
    placeholders += (i > 1 ? ", ?" : "?") + std::to_string(i);
  }
  Statement insert(
      m_db, "INSERT OR IGNORE INTO records (" + ColumnList() + ") VALUES (" + placeholders + ")");
  if (!insert.Prepared()) {
    return RecordsFailure(StoreFailure(m_path, m_db, "written"));
  }
  insert.BindRecord(record);
  if (sqlite3_step(insert.Handle()) != SQLITE_DONE) {
    return RecordsFailure(StoreFailure(m_path, m_db, "written"));
  }
  return {};
}

}  // namespace lumaflash::records
