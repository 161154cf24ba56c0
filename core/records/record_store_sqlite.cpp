// Opening the station's store: the layout brought forward for writing, WAL and full syncs, and a
// store read where it lies even when its folder cannot be written.
#include <array>
#include <cctype>
#include <chrono>
#include <string_view>
#include <system_error>
#include <thread>
#include <utility>

#include "core/platform/text_path.h"
#include "core/records/attempt_owner.h"
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
-- The process that writes an attempt's row until the attempt ends (ThisProcessOwner()); null
-- once it has ended, or once its program is known to have died.
ALTER TABLE records ADD COLUMN owner TEXT;
CREATE INDEX records_owned ON records (owner) WHERE owner IS NOT NULL;
-- Forwarding per server.
-- A record is ready to forward once finished; ready_place numbers the records in the order they
-- became ready, so that what went to a server is one place (forward_servers.through) and what
-- waits is an index range, however large the store. The version-1 mark (forwarded) named no
-- server: those records go once more to the next server reached, which keeps them once.
ALTER TABLE records ADD COLUMN ready_place INTEGER;
UPDATE records SET ready_place = numbered.place
  FROM (SELECT id, row_number() OVER (ORDER BY started_at, id) AS place FROM records
        WHERE owner IS NULL) AS numbered
  WHERE records.id = numbered.id;
CREATE UNIQUE INDEX records_ready_place ON records (ready_place);
DROP INDEX IF EXISTS records_unforwarded;
CREATE TRIGGER records_ready_when_added AFTER INSERT ON records
  WHEN new.owner IS NULL AND new.ready_place IS NULL
BEGIN
  UPDATE records SET ready_place = (SELECT coalesce(max(ready_place), 0) + 1 FROM records)
    WHERE rowid = new.rowid;
END;
CREATE TRIGGER records_ready_when_finished AFTER UPDATE OF owner ON records
  WHEN new.owner IS NULL AND new.ready_place IS NULL
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

Unexpected<RecordsError> NewerLayout(const std::filesystem::path& path, int version) {
  return RecordsFailure(Named(path) + " has schema version " + std::to_string(version) +
                        ", but this Lumaflash knows versions up to " +
                        std::to_string(kStoreSchemaVersion) +
                        ": update Lumaflash, or name another store with --records PATH");
}

// Reads the version and brings the layout forward in one write transaction, so that programs
// opening a new or old store at the same moment take turns: the second finds the work done.
RecordsResult<void> Migrate(sqlite3* db, const std::filesystem::path& path) {
  sqlite::Transaction transaction(db, "BEGIN IMMEDIATE");
  if (!transaction.Begun()) {
    return RecordsFailure(StoreFailure(path, db, "written"));
  }
  const std::optional<int> version = LayoutVersion(db);
  if (!version) {
    return RecordsFailure(StoreFailure(path, db, "read"));
  }
  if (*version > kStoreSchemaVersion) {
    return NewerLayout(path, *version);
  }
  for (int step = *version; step < kStoreSchemaVersion; ++step) {
    if (!Execute(db, std::string(kMigrations[static_cast<std::size_t>(step)]).c_str())) {
      return RecordsFailure(StoreFailure(path, db, "written"));
    }
  }
  const std::string stamp = "PRAGMA user_version = " + std::to_string(kStoreSchemaVersion);
  if ((*version < kStoreSchemaVersion && !Execute(db, stamp.c_str())) || !transaction.Commit()) {
    return RecordsFailure(StoreFailure(path, db, "written"));
  }
  return {};
}

// WAL lets the questions read while a line writes. Switching a file to it needs the file to
// itself for a moment, and SQLite does not wait for that by itself: another program that opens
// the store at the same time is waited for here, within the same time-out as any lock.
bool UseWal(sqlite3* db) {
  const auto deadline =
      std::chrono::steady_clock::now() + std::chrono::milliseconds(sqlite::kBusyTimeoutMs);
  for (;;) {
    Statement mode(db, "PRAGMA journal_mode=WAL");
    const int status = mode.Prepared() ? sqlite3_step(mode.Handle()) : SQLITE_ERROR;
    if (status == SQLITE_ROW) {
      return mode.Text(0) == "wal";
    }
    const int code = sqlite3_errcode(db) & 0xFF;
    if ((code != SQLITE_BUSY && code != SQLITE_LOCKED) ||
        std::chrono::steady_clock::now() >= deadline) {
      return false;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
}

// The rows whose program died are let go of: they read "unfinished" for good, and may be
// forwarded. A row whose owner cannot be told is left for the next writer; readers tell it
// themselves.
void LetGoOfTheDead(sqlite3* db) {
  std::vector<std::string> dead;
  {
    Statement owners(db, "SELECT DISTINCT owner FROM records WHERE owner IS NOT NULL");
    while (owners.Prepared() && sqlite3_step(owners.Handle()) == SQLITE_ROW) {
      if (std::string owner = owners.Text(0); !OwnerRuns(owner)) {
        dead.push_back(std::move(owner));
      }
    }
  }
  for (const std::string& owner : dead) {
    Statement release(db, "UPDATE records SET owner = NULL WHERE owner = ?1");
    release.Bind(1, owner);
    if (release.Prepared()) {
      sqlite3_step(release.Handle());
    }
  }
}

// "file:/path/with%20space?immutable=1": the store as an unchanging file, which SQLite then reads
// without the -shm file it would otherwise add beside it.
std::string ImmutableUri(const std::filesystem::path& path) {
  static constexpr char kDigits[] = "0123456789ABCDEF";
  const std::string text = platform::Utf8FromPath(path.generic_string());
  // A Windows drive ("C:/...") follows a third slash, as in file:///C:/...
  std::string uri = text.size() > 1 && text[1] == ':' ? "file:///" : "file:";
  for (const char c : text) {
    const auto byte = static_cast<unsigned char>(c);
    if (std::isalnum(byte) != 0 || std::string_view("/._-~:").find(c) != std::string_view::npos) {
      uri += c;
    } else {
      uri += '%';
      uri += kDigits[byte >> 4];
      uri += kDigits[byte & 0x0Fu];
    }
  }
  return uri + "?immutable=1";
}

sqlite3* OpenFile(const std::string& name, int flags, int& status) {
  sqlite3* db = nullptr;
  status = sqlite3_open_v2(name.c_str(), &db, flags | SQLITE_OPEN_FULLMUTEX, nullptr);
  sqlite3_busy_timeout(db, sqlite::kBusyTimeoutMs);
  return db;
}

bool Exists(const std::filesystem::path& path) {
  std::error_code noStatus;
  return std::filesystem::exists(path, noStatus);
}

std::filesystem::path Beside(const std::filesystem::path& path, const char* suffix) {
  std::filesystem::path side = path;
  side += suffix;
  return side;
}

// SQLite could not add the -wal or -shm file beside the store: its folder is not writable here.
bool CannotAddBeside(sqlite3* db) {
  const int code = sqlite3_errcode(db) & 0xFF;
  return code == SQLITE_READONLY || code == SQLITE_CANTOPEN || code == SQLITE_PERM;
}

Unexpected<RecordsError> NeedsACopy(const std::filesystem::path& path) {
  const std::string name = platform::Utf8FromPath(path);
  return RecordsFailure(
      Named(path) + " cannot be read from here: SQLite must add a file beside it while " + name +
      "-wal holds records not yet moved into it, and you may not write its folder. Copy " + name +
      " together with " + name +
      "-wal into a folder of yours and name the copy with --records "
      "PATH, or ask the station's user to read it");
}

}  // namespace

RecordStore::RecordStore(sqlite3* db, std::filesystem::path path)
    : m_db(db), m_path(std::move(path)) {}

RecordStore::~RecordStore() {
  sqlite3_close_v2(m_db);
}

RecordsResult<std::unique_ptr<RecordStore>> RecordStore::Open(const std::filesystem::path& path,
                                                              Mode mode) {
  if (mode == Mode::Read && !Exists(path)) {
    return RecordsFailure(Named(path) +
                          " does not exist: no update has been recorded there yet. Name the "
                          "store with --records PATH");
  }
  const int flags =
      mode == Mode::Write ? SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE : SQLITE_OPEN_READONLY;
  int status = SQLITE_OK;
  sqlite3* db = OpenFile(platform::Utf8FromPath(path), flags, status);
  std::unique_ptr<RecordStore> store(new RecordStore(db, path));
  if (status != SQLITE_OK) {
    return RecordsFailure(StoreFailure(path, db, "opened"));
  }
  auto ready = mode == Mode::Write ? store->PrepareForWriting() : store->PrepareForReading();
  if (!ready) {
    return MakeUnexpected(ready.error());
  }
  return store;
}

RecordsResult<void> RecordStore::PrepareForWriting() {
  // SQLite opens a write-protected file for reading without a word; a store that cannot take
  // the next record must say so now.
  if (sqlite3_db_readonly(m_db, "main") == 1) {
    return RecordsFailure(Named(m_path) +
                          " is read-only: make it writable or name another store with "
                          "--records PATH");
  }
  if (auto migrated = Migrate(m_db, m_path); !migrated) {
    return migrated;
  }
  // FULL syncs every commit to the disk, so a record that was reported is one that survives a
  // power cut.
  if (!UseWal(m_db) || !Execute(m_db, "PRAGMA synchronous=FULL")) {
    return RecordsFailure(StoreFailure(m_path, m_db, "written"));
  }
  LetGoOfTheDead(m_db);
  return {};
}

RecordsResult<void> RecordStore::PrepareForReading() {
  std::optional<int> version = LayoutVersion(m_db);
  if (!version && CannotAddBeside(m_db)) {
    if (Exists(Beside(m_path, "-wal"))) {
      return NeedsACopy(m_path);
    }
    // Everything is in the file itself: read it as it is.
    sqlite3_close_v2(m_db);
    int status = SQLITE_OK;
    m_db = OpenFile(ImmutableUri(m_path), SQLITE_OPEN_READONLY | SQLITE_OPEN_URI, status);
    version = status == SQLITE_OK ? LayoutVersion(m_db) : std::nullopt;
  }
  if (!version) {
    return RecordsFailure(StoreFailure(m_path, m_db, "read"));
  }
  if (*version > kStoreSchemaVersion) {
    return NewerLayout(m_path, *version);
  }
  // A store that an older Lumaflash left is read as it is: reading never changes it.
  if (*version == 0) {
    return RecordsFailure(Named(m_path) +
                          " holds no records of this Lumaflash yet (schema version 0); the "
                          "next update recorded there brings it forward");
  }
  return {};
}

}  // namespace lumaflash::records
