// The questions asked of the station's own store, answered by SQLite on a read-only connection.
#include <utility>

#include "core/platform/text_path.h"
#include "core/platform/time_zone.h"
#include "core/records/question_sql.h"
#include "core/records/questions.h"
#include "core/records/record_fields.h"
#include "core/records/sqlite_statement.h"

namespace lumaflash::records {

namespace {

using sqlite::Statement;
using sqlite::StoreFailure;

// lumaflash_local_day(ms): the day of an instant on the calendar of the zone the function was
// registered with, as days since 1970-01-01.
void LocalDayFunction(sqlite3_context* context, int, sqlite3_value** arguments) {
  if (sqlite3_value_type(arguments[0]) == SQLITE_NULL) {
    sqlite3_result_null(context);
    return;
  }
  const auto* zone = static_cast<const platform::TimeZone*>(sqlite3_user_data(context));
  sqlite3_result_int64(context, zone->LocalDay(sqlite3_value_int64(arguments[0])));
}

class LocalStoreQuestions final : public RecordQuestions {
 public:
  LocalStoreQuestions(sqlite3* db, std::filesystem::path path)
      : m_db(db), m_path(std::move(path)) {}
  ~LocalStoreQuestions() override { sqlite3_close_v2(m_db); }

  // The day function reads the zone of the question being asked through this object.
  bool RegisterDayFunction() {
    return sqlite3_create_function_v2(m_db, "lumaflash_local_day", 1,
                                      SQLITE_UTF8 | SQLITE_DETERMINISTIC | SQLITE_INNOCUOUS,
                                      &m_zone, LocalDayFunction, nullptr, nullptr,
                                      nullptr) == SQLITE_OK;
  }
  LocalStoreQuestions(const LocalStoreQuestions&) = delete;
  LocalStoreQuestions& operator=(const LocalStoreQuestions&) = delete;

  RecordsResult<std::vector<SummaryRow>> Summary(const SummaryQuery& query) override {
    auto zone = query.timeZone.empty() ? platform::TimeZone::Local()
                                       : platform::TimeZone::Named(query.timeZone);
    if (!zone) {
      return RecordsFailure(platform::Describe(zone.error()));
    }
    m_zone = std::move(*zone);
    return All<SummaryRow>(sql::SummaryQueryText(sql::Dialect::Sqlite, query, ""),
                           [](const Statement& row) { return sql::SummaryRowOf(row); });
  }

  RecordsResult<std::vector<FailureRow>> Failures(const RecordFilter& filter) override {
    return All<FailureRow>(sql::FailuresQuery(sql::Dialect::Sqlite, filter),
                           [](const Statement& row) { return sql::FailureRowOf(row); });
  }

  RecordsResult<void> List(const RecordFilter& filter, std::size_t limit, std::size_t offset,
                           const std::function<bool(const Record&)>& each) override {
    return Each(sql::ListQuery(sql::Dialect::Sqlite, ColumnList(), filter, limit, offset),
                [&each](const Statement& row) { return each(row.ReadRecord()); });
  }

  RecordsResult<std::vector<StationRow>> Stations() override {
    return All<StationRow>(
        sql::Query{sql::Dialect::Sqlite,
                   "WITH waits AS (SELECT *, " + WaitingCondition() +
                       " AS waiting FROM records) SELECT station, max(started_at), count(*) "
                       "FILTER (WHERE waiting), min(started_at) FILTER (WHERE waiting) FROM waits "
                       "GROUP BY station ORDER BY station",
                   {}},
        [](const Statement& row) {
          return StationRow{row.Text(0), row.Integer(1), std::nullopt, row.Integer(2),
                            row.OptionalInteger(3)};
        });
  }

  // SQLite counts the commits of other connections for each connection: this one only reads.
  RecordsResult<int64_t> ChangeCounter() override {
    int64_t counter = 0;
    auto read = Each(sql::Query{sql::Dialect::Sqlite, "PRAGMA data_version", {}},
                     [&counter](const Statement& row) {
                       counter = row.Integer(0);
                       return true;
                     });
    if (!read) {
      return MakeUnexpected(read.error());
    }
    return counter;
  }

 private:
  // Every row of `query`, each made into a T by `make`.
  template <typename T, typename Make>
  RecordsResult<std::vector<T>> All(const sql::Query& query, Make&& make) {
    std::vector<T> rows;
    auto read = Each(query, [&rows, &make](const Statement& row) {
      rows.push_back(make(row));
      return true;
    });
    if (!read) {
      return MakeUnexpected(read.error());
    }
    return rows;
  }

  // Whether a record still waits for the server this store reached last (every finished record
  // when it reached none). A store that an older Lumaflash left marks each record instead.
  std::string WaitingCondition() {
    bool marksPerServer = false;
    // A store it cannot read fails the question itself right after.
    (void)Each(sql::Query{sql::Dialect::Sqlite,
                          "SELECT 1 FROM pragma_table_info('records') WHERE name = 'ready_place'",
                          {}},
               [&marksPerServer](const Statement&) { return !(marksPerServer = true); });
    if (!marksPerServer) {
      return "forwarded = 0";
    }
    return "ready_place > coalesce((SELECT through FROM forward_servers ORDER BY "
           "last_contact_ms DESC LIMIT 1), 0)";
  }

  Unexpected<RecordsError> Failure() const {
    return RecordsFailure(StoreFailure(m_path, m_db, "read"));
  }

  // Runs `query` and hands each row to `row` as SQLite steps to it, until it returns false.
  template <typename RowHandler>
  RecordsResult<void> Each(const sql::Query& query, RowHandler&& row) {
    Statement statement(m_db, query.text);
    if (!statement.Prepared()) {
      return Failure();
    }
    int index = 1;
    for (const sql::Value& value : query.values) {
      value.text ? statement.Bind(index, *value.text) : statement.Bind(index, *value.number);
      ++index;
    }
    int status = SQLITE_ROW;
    while ((status = sqlite3_step(statement.Handle())) == SQLITE_ROW) {
      if (!row(statement)) {
        return {};
      }
    }
    if (status != SQLITE_DONE) {
      return Failure();
    }
    return {};
  }

  sqlite3* m_db;
  std::filesystem::path m_path;
  platform::TimeZone m_zone = platform::TimeZone::Utc();
};

}  // namespace

RecordsResult<std::unique_ptr<RecordQuestions>> LocalQuestions(const std::filesystem::path& path) {
  // Opening the store for reading checks that it is there and of a layout this program reads,
  // and says what to do when it is not.
  if (auto checked = RecordStore::Open(path, RecordStore::Mode::Read); !checked) {
    return MakeUnexpected(checked.error());
  }
  sqlite3* db = nullptr;
  const int status =
      sqlite3_open_v2(platform::Utf8FromPath(path).c_str(), &db, SQLITE_OPEN_READONLY, nullptr);
  auto questions = std::make_unique<LocalStoreQuestions>(db, path);
  if (status != SQLITE_OK || !questions->RegisterDayFunction()) {
    return RecordsFailure(StoreFailure(path, db, "opened"));
  }
  sqlite3_busy_timeout(db, sqlite::kBusyTimeoutMs);
  // A question never writes, whatever SQL it is made of.
  if (!sqlite::Execute(db, "PRAGMA query_only = ON")) {
    return RecordsFailure(StoreFailure(path, db, "opened"));
  }
  return std::unique_ptr<RecordQuestions>(std::move(questions));
}

}  // namespace lumaflash::records
