#include "core/records/sqlite_statement.h"

#include "core/platform/text_path.h"
#include "core/records/attempt_owner.h"
#include "core/records/record_fields.h"

namespace lumaflash::records::sqlite {

Statement::Statement(sqlite3* db, std::string_view sql) {
  m_status =
      sqlite3_prepare_v2(db, sql.data(), static_cast<int>(sql.size()), &m_statement, nullptr);
}

Statement::~Statement() {
  sqlite3_finalize(m_statement);
}

void Statement::Bind(int index, const std::string& text) {
  sqlite3_bind_text(m_statement, index, text.data(), static_cast<int>(text.size()),
                    SQLITE_TRANSIENT);
}

void Statement::Bind(int index, int64_t value) {
  sqlite3_bind_int64(m_statement, index, value);
}

void Statement::Bind(int index, const std::optional<std::string>& text) {
  text ? Bind(index, *text) : void(sqlite3_bind_null(m_statement, index));
}

void Statement::Bind(int index, const std::optional<int64_t>& value) {
  value ? Bind(index, *value) : void(sqlite3_bind_null(m_statement, index));
}

void Statement::BindRecord(const Record& record) {
  int index = 1;
  for (const RecordField& field : kRecordFields) {
    IsTextField(field) ? Bind(index, FieldText(record, field))
                       : Bind(index, FieldNumber(record, field));
    ++index;
  }
}

std::string Statement::Text(int column) const {
  const auto* text = sqlite3_column_text(m_statement, column);
  return text == nullptr
             ? std::string()
             : std::string(reinterpret_cast<const char*>(text),
                           static_cast<std::size_t>(sqlite3_column_bytes(m_statement, column)));
}

std::optional<std::string> Statement::OptionalText(int column) const {
  if (sqlite3_column_type(m_statement, column) == SQLITE_NULL) {
    return std::nullopt;
  }
  return Text(column);
}

int64_t Statement::Integer(int column) const {
  return sqlite3_column_int64(m_statement, column);
}

std::optional<int64_t> Statement::OptionalInteger(int column) const {
  if (sqlite3_column_type(m_statement, column) == SQLITE_NULL) {
    return std::nullopt;
  }
  return Integer(column);
}

Record Statement::ReadRecord() const {
  Record record;
  int column = 0;
  for (const RecordField& field : kRecordFields) {
    IsTextField(field) ? SetFieldText(record, field, OptionalText(column))
                       : SetFieldNumber(record, field, OptionalInteger(column));
    ++column;
  }
  if (record.result == kUnfinished && OwnerRunsFor(record.id)) {
    record.result = kInProgress;
  }
  return record;
}

bool Statement::OwnerRunsFor(const std::string& id) const {
  // A store of layout 1 has no owners: its rows were all written when their attempt ended.
  Statement owner(sqlite3_db_handle(m_statement), "SELECT owner FROM records WHERE id = ?1");
  if (!owner.Prepared()) {
    return false;
  }
  owner.Bind(1, id);
  return sqlite3_step(owner.Handle()) == SQLITE_ROW && owner.OptionalText(0).has_value() &&
         OwnerRuns(owner.Text(0));
}

bool Execute(sqlite3* db, const char* sql) {
  return sqlite3_exec(db, sql, nullptr, nullptr, nullptr) == SQLITE_OK;
}

Transaction::Transaction(sqlite3* db, const char* begin) : m_db(db), m_open(Execute(db, begin)) {}

Transaction::~Transaction() {
  if (m_open) {
    Execute(m_db, "ROLLBACK");
  }
}

bool Transaction::Commit() {
  if (!m_open || !Execute(m_db, "COMMIT")) {
    return false;
  }
  m_open = false;
  return true;
}

std::string Placeholders(std::size_t count) {
  std::string list;
  for (std::size_t i = 1; i <= count; ++i) {
    list += (i > 1 ? ", ?" : "?") + std::to_string(i);
  }
  return list;
}

std::string Named(const std::filesystem::path& path) {
  return "the record store " + platform::Utf8FromPath(path);
}

std::string StoreFailure(const std::filesystem::path& path, sqlite3* db, std::string_view doing) {
  const int code = db == nullptr ? SQLITE_NOMEM : sqlite3_errcode(db) & 0xFF;
  const std::string reason = db == nullptr ? std::string("out of memory") : sqlite3_errmsg(db);
  std::string text = Named(path) + " cannot be " + std::string(doing) + " (" + reason + ")";
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
      if (doing == "read") {
        return text +
               ": check that the file exists and that you may read it, or name another "
               "store with --records PATH";
      }
      return text +
             ": check that the file and its folder exist and are writable, or name "
             "another store with --records PATH";
    default:
      return text;
  }
}

}  // namespace lumaflash::records::sqlite
