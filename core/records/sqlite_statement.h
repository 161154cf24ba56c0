#pragma once

// What the SQLite store's files share: a prepared statement, a transaction that rolls back
// unless committed, and the sentences that tell what went wrong with the store.
#include <sqlite3.h>

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>

#include "core/records/record.h"

namespace lumaflash::records::sqlite {

// A writer that finds the store locked waits this long before the record counts as not kept.
inline constexpr int kBusyTimeoutMs = 5000;

// One prepared statement, finalised on every path.
class Statement {
 public:
  Statement(sqlite3* db, std::string_view sql);
  ~Statement();
  Statement(const Statement&) = delete;
  Statement& operator=(const Statement&) = delete;

  bool Prepared() const { return m_status == SQLITE_OK; }
  sqlite3_stmt* Handle() const { return m_statement; }

  void Bind(int index, const std::string& text);
  void Bind(int index, int64_t value);
  void Bind(int index, const std::optional<std::string>& text);
  void Bind(int index, const std::optional<int64_t>& value);
  // Binds every field of `record` to ?1.. in the order of kRecordFields.
  void BindRecord(const Record& record);

  std::string Text(int column) const;
  std::optional<std::string> OptionalText(int column) const;
  int64_t Integer(int column) const;
  std::optional<int64_t> OptionalInteger(int column) const;
  // The record in columns 0.. in the order of kRecordFields (a SELECT of ColumnList()). An
  // unfinished attempt whose program still runs reads kInProgress.
  Record ReadRecord() const;

 private:
  bool OwnerRunsFor(const std::string& id) const;

  sqlite3_stmt* m_statement = nullptr;
  int m_status = SQLITE_ERROR;
};

// "?1, ?2, .., ?N": the placeholders of N bound values, as a row's fields go in.
std::string Placeholders(std::size_t count);

// Runs statements that return no rows; false on the first failure (the reason stays in `db`).
bool Execute(sqlite3* db, const char* sql);

// A transaction begun with `begin` ("BEGIN IMMEDIATE" takes the write lock at once, within the
// busy time-out); rolled back when it goes out of scope without Commit().
class Transaction {
 public:
  Transaction(sqlite3* db, const char* begin);
  ~Transaction();
  Transaction(const Transaction&) = delete;
  Transaction& operator=(const Transaction&) = delete;

  bool Begun() const { return m_open; }
  bool Commit();

 private:
  sqlite3* m_db;
  bool m_open;
};

// "the record store PATH".
std::string Named(const std::filesystem::path& path);

// A sentence for a failure of the store while `doing` ("opened", "read", "written"), with what
// to do about it. Read it before any rollback, which replaces SQLite's last error.
std::string StoreFailure(const std::filesystem::path& path, sqlite3* db, std::string_view doing);

}  // namespace lumaflash::records::sqlite
