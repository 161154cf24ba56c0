#include <sqlite3.h>

#include <array>
#include <string_view>
#include <system_error>
#include <utility>

#include "core/platform/text_path.h"
#include "core/records/record_store.h"

namespace lumaflash::records {

namespace {

// A writer that finds the store locked waits this long before the record counts as not kept.
constexpr int kBusyTimeoutMs = 5000;

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
};

constexpr const char* kColumns =
    "id, started_at, ended_at, station, operator, program_version, port, usb_vid, usb_pid, "
    "usb_serial, device_id, device_name, bootloader_version, firmware_version, serial, "
    "image_path, image_sha256, image_header_version, image_length, result, status, "
    "failed_block, block_count, duration_ms";

// One prepared statement, finalised on every path.
class Statement {
 public:
  Statement(sqlite3* db, std::string_view sql) {
    m_status =
        sqlite3_prepare_v2(db, sql.data(), static_cast<int>(sql.size()), &m_statement, nullptr);
  }
  ~Statement() { sqlite3_finalize(m_statement); }
  Statement(const Statement&) = delete;
  Statement& operator=(const Statement&) = delete;

  bool Prepared() const { return m_status == SQLITE_OK; }
  sqlite3_stmt* Handle() const { return m_statement; }

  void Bind(int index, const std::string& text) {
    sqlite3_bind_text(m_statement, index, text.data(), static_cast<int>(text.size()),
                      SQLITE_TRANSIENT);
  }
  void Bind(int index, int64_t value) { sqlite3_bind_int64(m_statement, index, value); }
  void Bind(int index, const std::optional<std::string>& text) {
    text ? Bind(index, *text) : void(sqlite3_bind_null(m_statement, index));
  }
  void Bind(int index, const std::optional<int64_t>& value) {
    value ? Bind(index, *value) : void(sqlite3_bind_null(m_statement, index));
  }

  std::string Text(int column) const {
    const auto* text = sqlite3_column_text(m_statement, column);
    return text == nullptr
               ? std::string()
               : std::string(reinterpret_cast<const char*>(text),
                             static_cast<std::size_t>(sqlite3_column_bytes(m_statement, column)));
  }
  std::optional<std::string> OptionalText(int column) const {
    if (sqlite3_column_type(m_statement, column) == SQLITE_NULL) {
      return std::nullopt;
    }
    return Text(column);
  }
  int64_t Integer(int column) const { return sqlite3_column_int64(m_statement, column); }
  std::optional<int64_t> OptionalInteger(int column) const {
    if (sqlite3_column_type(m_statement, column) == SQLITE_NULL) {
      return std::nullopt;
    }
    return Integer(column);
  }

 private:
  sqlite3_stmt* m_statement = nullptr;
  int m_status = SQLITE_ERROR;
};

std::string Reason(sqlite3* db) {
  return db == nullptr ? std::string("out of memory") : std::string(sqlite3_errmsg(db));
}

std::string Named(const std::filesystem::path& path) {
  return "the record store " + platform::Utf8FromPath(path);
}

// A message for a failure of the store, with what to do about it.
std::string StoreFailure(const std::filesystem::path& path, sqlite3* db, std::string_view doing) {
  const int code = db == nullptr ? SQLITE_NOMEM : sqlite3_errcode(db) & 0xFF;
  std::string text = Named(path) + " cannot be " + std::string(doing) + " (" + Reason(db) + ")";
  switch (code) {
    case SQLITE_NOTADB:
    case SQLITE_CORRUPT:
      return text +
             ": it is not an intact record store. Move it aside (a new one is made) or "
             "name another with --records PATH";
    case SQLITE_BUSY:
    case SQLITE_LOCKED:
      return text + ": another program held it longer than " +
             std::to_string(kBusyTimeoutMs / 1000) + " s. Check what else uses it";
    case SQLITE_FULL:
      return text + ": the disk is full. Free some space";
    case SQLITE_READONLY:
    case SQLITE_PERM:
    case SQLITE_CANTOPEN:
    case SQLITE_IOERR:
      return text +
             ": check that the file and its folder exist and are writable, or name "
             "another store with --records PATH";
    default:
      return text;
  }
}

bool Execute(sqlite3* db, const char* sql) {
  return sqlite3_exec(db, sql, nullptr, nullptr, nullptr) == SQLITE_OK;
}

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

Record ReadRecord(const Statement& row) {
  Record record;
  record.id = row.Text(0);
  record.startedAtMs = row.Integer(1);
  record.endedAtMs = row.Integer(2);
  record.station = row.Text(3);
  record.operatorName = row.Text(4);
  record.programVersion = row.Text(5);
  record.port = row.Text(6);
  record.usbVid = row.OptionalText(7);
  record.usbPid = row.OptionalText(8);
  record.usbSerial = row.OptionalText(9);
  record.deviceId = row.OptionalText(10);
  record.deviceName = row.OptionalText(11);
  record.bootloaderVersion = row.OptionalText(12);
  record.firmwareVersion = row.OptionalText(13);
  record.serial = row.OptionalText(14);
  record.imagePath = row.OptionalText(15);
  record.imageSha256 = row.OptionalText(16);
  record.imageHeaderVersion = row.OptionalInteger(17);
  record.imageLength = row.OptionalInteger(18);
  record.result = row.Text(19);
  record.status = row.OptionalText(20);
  record.failedBlock = row.OptionalInteger(21);
  record.blockCount = row.OptionalInteger(22);
  record.durationMs = row.Integer(23);
  return record;
}

bool ReadAll(sqlite3* db, Statement& statement, std::vector<Record>& found) {
  int status = SQLITE_ROW;
  while ((status = sqlite3_step(statement.Handle())) == SQLITE_ROW) {
    found.push_back(ReadRecord(statement));
  }
  (void)db;
  return status == SQLITE_DONE;
}

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
  };
  for (const auto& [sql, value] : texts) {
    if (*value) {
      conditions.push_back({sql, **value, std::nullopt});
    }
  }
  return conditions;
}

}  // namespace

RecordStore::RecordStore(sqlite3* db, std::filesystem::path path)
    : m_db(db), m_path(std::move(path)) {}

RecordStore::~RecordStore() {
  sqlite3_close_v2(m_db);
}

std::unique_ptr<RecordStore> RecordStore::Open(const std::filesystem::path& path, Mode mode,
                                               std::string& error) {
  std::error_code noStatus;
  if (mode == Mode::Read && !std::filesystem::exists(path, noStatus)) {
    error = Named(path) +
            " does not exist: no update has been recorded there yet. Name the "
            "store with --records PATH";
    return nullptr;
  }
  const int flags =
      mode == Mode::Write ? SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE : SQLITE_OPEN_READONLY;
  sqlite3* db = nullptr;
  const int status = sqlite3_open_v2(platform::Utf8FromPath(path).c_str(), &db,
                                     flags | SQLITE_OPEN_FULLMUTEX, nullptr);
  std::unique_ptr<RecordStore> store(new RecordStore(db, path));
  if (status != SQLITE_OK) {
    error = StoreFailure(path, db, "opened");
    return nullptr;
  }
  sqlite3_busy_timeout(db, kBusyTimeoutMs);
  // SQLite opens a write-protected file for reading without a word; a store that cannot take
  // the next record must say so now.
  if (mode == Mode::Write && sqlite3_db_readonly(db, "main") == 1) {
    error = Named(path) +
            " is read-only: make it writable or name another store with "
            "--records PATH";
    return nullptr;
  }
  const std::optional<int> version = LayoutVersion(db);
  if (!version) {
    error = StoreFailure(path, db, "read");
    return nullptr;
  }
  if (*version > kStoreSchemaVersion) {
    error = Named(path) + " has schema version " + std::to_string(*version) +
            ", but this Lumaflash knows versions up to " + std::to_string(kStoreSchemaVersion) +
            ": update Lumaflash, or name another store with --records PATH";
    return nullptr;
  }
  if (mode == Mode::Read) {
    if (*version < kStoreSchemaVersion) {
      error = Named(path) + " holds no records of this Lumaflash yet (schema version " +
              std::to_string(*version) + "); the next update recorded there brings it forward";
      return nullptr;
    }
    return store;
  }
  // WAL lets the questions read while a line writes; FULL syncs every commit to the disk, so
  // a record that was reported is one that survives a power cut.
  if (!Execute(db, "PRAGMA journal_mode=WAL") || !Execute(db, "PRAGMA synchronous=FULL") ||
      !Migrate(db, *version)) {
    error = StoreFailure(path, db, "written");
    return nullptr;
  }
  return store;
}

bool RecordStore::Commit(const Record& record, std::string& error) {
  Statement insert(m_db, std::string("INSERT OR IGNORE INTO records (") + kColumns +
                             ") VALUES (?1, ?2, ?3, ?4, ?5, ?6, ?7, ?8, ?9, ?10, ?11, ?12, "
                             "?13, ?14, ?15, ?16, ?17, ?18, ?19, ?20, ?21, ?22, ?23, ?24)");
  if (!insert.Prepared()) {
    error = StoreFailure(m_path, m_db, "written");
    return false;
  }
  insert.Bind(1, record.id);
  insert.Bind(2, record.startedAtMs);
  insert.Bind(3, record.endedAtMs);
  insert.Bind(4, record.station);
  insert.Bind(5, record.operatorName);
  insert.Bind(6, record.programVersion);
  insert.Bind(7, record.port);
  insert.Bind(8, record.usbVid);
  insert.Bind(9, record.usbPid);
  insert.Bind(10, record.usbSerial);
  insert.Bind(11, record.deviceId);
  insert.Bind(12, record.deviceName);
  insert.Bind(13, record.bootloaderVersion);
  insert.Bind(14, record.firmwareVersion);
  insert.Bind(15, record.serial);
  insert.Bind(16, record.imagePath);
  insert.Bind(17, record.imageSha256);
  insert.Bind(18, record.imageHeaderVersion);
  insert.Bind(19, record.imageLength);
  insert.Bind(20, record.result);
  insert.Bind(21, record.status);
  insert.Bind(22, record.failedBlock);
  insert.Bind(23, record.blockCount);
  insert.Bind(24, record.durationMs);
  if (sqlite3_step(insert.Handle()) != SQLITE_DONE) {
    error = StoreFailure(m_path, m_db, "written");
    return false;
  }
  return true;
}

bool RecordStore::Find(const RecordFilter& filter, std::vector<Record>& found, std::string& error) {
  const std::vector<Condition> conditions = Conditions(filter);
  std::string sql = std::string("SELECT ") + kColumns + " FROM records";
  for (std::size_t i = 0; i < conditions.size(); ++i) {
    sql += (i == 0 ? " WHERE " : " AND ") + std::string(conditions[i].sql);
  }
  sql += " ORDER BY started_at DESC, id";
  Statement select(m_db, sql);
  if (!select.Prepared()) {
    error = StoreFailure(m_path, m_db, "read");
    return false;
  }
  for (std::size_t i = 0; i < conditions.size(); ++i) {
    const int index = static_cast<int>(i) + 1;
    conditions[i].text ? select.Bind(index, *conditions[i].text)
                       : select.Bind(index, *conditions[i].number);
  }
  if (!ReadAll(m_db, select, found)) {
    error = StoreFailure(m_path, m_db, "read");
    return false;
  }
  return true;
}

bool RecordStore::Unforwarded(std::size_t limit, std::vector<Record>& found, std::string& error) {
  Statement select(m_db, std::string("SELECT ") + kColumns +
                             " FROM records WHERE forwarded = 0 ORDER BY started_at LIMIT ?1");
  if (!select.Prepared()) {
    error = StoreFailure(m_path, m_db, "read");
    return false;
  }
  select.Bind(1, static_cast<int64_t>(limit));
  if (!ReadAll(m_db, select, found)) {
    error = StoreFailure(m_path, m_db, "read");
    return false;
  }
  return true;
}

bool RecordStore::MarkForwarded(const std::vector<std::string>& ids, std::string& error) {
  if (!Execute(m_db, "BEGIN IMMEDIATE")) {
    error = StoreFailure(m_path, m_db, "written");
    return false;
  }
  Statement update(m_db, "UPDATE records SET forwarded = 1 WHERE id = ?1");
  bool done = update.Prepared();
  for (std::size_t i = 0; done && i < ids.size(); ++i) {
    sqlite3_reset(update.Handle());
    update.Bind(1, ids[i]);
    done = sqlite3_step(update.Handle()) == SQLITE_DONE;
  }
  if (!done || !Execute(m_db, "COMMIT")) {
    error = StoreFailure(m_path, m_db, "written");
    Execute(m_db, "ROLLBACK");
    return false;
  }
  return true;
}

std::optional<std::size_t> RecordStore::CountUnforwarded() {
  Statement count(m_db, "SELECT count(*) FROM records WHERE forwarded = 0");
  if (!count.Prepared() || sqlite3_step(count.Handle()) != SQLITE_ROW) {
    return std::nullopt;
  }
  return static_cast<std::size_t>(count.Integer(0));
}

}  // namespace lumaflash::records
