// The questions asked of the server, answered by PostgreSQL as the reader role sees it.
#include <array>
#include <string>
#include <type_traits>
#include <utility>
#include <vector>

#include "core/platform/time_zone.h"
#include "core/records/pq_connection.h"
#include "core/records/question_sql.h"
#include "core/records/questions.h"
#include "core/records/record_fields.h"

namespace lumaflash::records {

namespace {

// Times come back as milliseconds and ids as text, as the station's store holds them; the
// server's own receipt time comes last.
std::string SelectList() {
  std::string list;
  for (const RecordField& field : kRecordFields) {
    const std::string column(field.column);
    std::string item = column;
    if (field.type == FieldType::Time) {
      item = "(extract(epoch FROM " + column + ") * 1000)::bigint";
    } else if (field.serverType == "uuid") {
      item = column + "::text";
    }
    list += (list.empty() ? "" : ", ") + item;
  }
  return list + ", (extract(epoch FROM received_at) * 1000)::bigint";
}

std::optional<int64_t> Number(const std::optional<std::string>& text) {
  return text ? std::optional<int64_t>(std::stoll(*text)) : std::nullopt;
}

Record ReadRecord(PGresult* result, int row) {
  Record record;
  int column = 0;
  for (const RecordField& field : kRecordFields) {
    std::optional<std::string> text = pq::Text(result, row, column++);
    if (IsTextField(field)) {
      SetFieldText(record, field, std::move(text));
    } else {
      SetFieldNumber(record, field, Number(text));
    }
  }
  record.receivedAtMs = Number(pq::Text(result, row, column));
  return record;
}

// A reader of one result row.
class Row {
 public:
  Row(PGresult* result, int row) : m_result(result), m_row(row) {}
  std::string Text(int column) const { return pq::Text(m_result, m_row, column).value_or(""); }
  std::optional<int64_t> OptionalInteger(int column) const {
    return Number(pq::Text(m_result, m_row, column));
  }
  int64_t Integer(int column) const { return OptionalInteger(column).value_or(0); }

 private:
  PGresult* m_result;
  int m_row;
};

class ServerStoreQuestions final : public RecordQuestions {
 public:
  explicit ServerStoreQuestions(pq::Connection connection) : m_connection(std::move(connection)) {}

  RecordsResult<std::vector<SummaryRow>> Summary(const SummaryQuery& query) override {
    std::string zoneName = query.timeZone;
    if (zoneName.empty()) {
      auto local = platform::TimeZone::Local();
      if (!local) {
        return RecordsFailure(platform::Describe(local.error()));
      }
      zoneName = local->Name();
    }
    if (zoneName.empty()) {
      return RecordsFailure(
          "this machine's time zone has no IANA name that the records server could use: name "
          "the zone of the factory's days with --tz ZONE (such as Europe/Berlin)");
    }
    return All<SummaryRow>(sql::SummaryQueryText(sql::Dialect::Postgres, query, zoneName),
                           [](const Row& row) { return sql::SummaryRowOf(row); });
  }

  RecordsResult<std::vector<FailureRow>> Failures(const RecordFilter& filter) override {
    return All<FailureRow>(sql::FailuresQuery(sql::Dialect::Postgres, filter),
                           [](const Row& row) { return sql::FailureRowOf(row); });
  }

  RecordsResult<void> List(const RecordFilter& filter, std::size_t limit, std::size_t offset,
                           const std::function<bool(const Record&)>& each) override {
    return Each(sql::ListQuery(sql::Dialect::Postgres, SelectList(), filter, limit, offset),
                [&each](PGresult* result) { return each(ReadRecord(result, 0)); });
  }

  RecordsResult<std::vector<StationRow>> Stations() override {
    return All<StationRow>(
        sql::Query{sql::Dialect::Postgres,
                   "SELECT station, (extract(epoch FROM max(started_at)) * 1000)::bigint, "
                   "(extract(epoch FROM max(received_at)) * 1000)::bigint FROM records GROUP BY "
                   "station ORDER BY station",
                   {}},
        [](const Row& row) {
          return StationRow{row.Text(0), row.Integer(1), row.OptionalInteger(2), std::nullopt,
                            std::nullopt};
        });
  }

  // Records on the server are only ever added. The newest receipt changes with every batch;
  // a batch whose transaction began earlier but committed later carries an older receipt time,
  // and shows as a change of how many records arrived in the hour before the newest.
  RecordsResult<int64_t> ChangeCounter() override {
    int64_t counter = 0;
    auto read = Each(
        sql::Query{sql::Dialect::Postgres,
                   "SELECT coalesce((extract(epoch FROM newest) * 1000)::bigint, 0), (SELECT "
                   "count(*) FROM records WHERE received_at >= newest - interval '1 hour') FROM "
                   "(SELECT max(received_at) AS newest FROM records) AS last",
                   {}},
        [&counter](const Row& row) {
          constexpr int64_t kCountRange = 4096;
          counter = row.Integer(0) * kCountRange + row.Integer(1) % kCountRange;
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
    auto read = Each(query, [&rows, &make](const Row& row) {
      rows.push_back(make(row));
      return true;
    });
    if (!read) {
      return MakeUnexpected(read.error());
    }
    return rows;
  }

  Unexpected<RecordsError> Failure() const {
    return RecordsFailure("the records server could not be asked (" +
                          pq::Reason(m_connection.get()) + ")");
  }

  // Sends `query` and hands the rows to `handle` one at a time as they arrive (single-row mode),
  // so a listing of any length holds one row at a time. A handler returning false cancels the
  // rest.
  template <typename Handler>
  RecordsResult<void> Each(const sql::Query& query, Handler&& handle) {
    PGconn* connection = m_connection.get();
    // A connection the server dropped since the last question is made again once.
    if (PQstatus(connection) != CONNECTION_OK) {
      PQreset(connection);
    }
    std::vector<std::string> texts;
    texts.reserve(query.values.size());
    for (const sql::Value& value : query.values) {
      texts.push_back(value.text ? *value.text : std::to_string(*value.number));
    }
    std::vector<const char*> values;
    values.reserve(texts.size());
    for (const std::string& text : texts) {
      values.push_back(text.c_str());
    }
    if (PQsendQueryParams(connection, query.text.c_str(), static_cast<int>(values.size()), nullptr,
                          values.data(), nullptr, nullptr, 0) == 0 ||
        PQsetSingleRowMode(connection) == 0) {
      return Failure();
    }
    bool wanted = true;
    std::optional<Unexpected<RecordsError>> failure;
    while (pq::Result result{PQgetResult(connection)}) {
      const ExecStatusType status = PQresultStatus(result.get());
      if (status == PGRES_SINGLE_TUPLE && wanted) {
        wanted = Handle(handle, result.get());
        if (!wanted) {
          Cancel(connection);
        }
      } else if (status != PGRES_SINGLE_TUPLE && status != PGRES_TUPLES_OK && wanted && !failure) {
        failure = Failure();
      }
    }
    if (failure) {
      return *failure;
    }
    return {};
  }

  template <typename Handler>
  static bool Handle(Handler& handle, PGresult* result) {
    if constexpr (std::is_invocable_v<Handler&, PGresult*>) {
      return handle(result);
    } else {
      return handle(Row(result, 0));
    }
  }

  static void Cancel(PGconn* connection) {
    std::array<char, 256> reason{};
    if (PGcancel* cancel = PQgetCancel(connection)) {
      PQcancel(cancel, reason.data(), static_cast<int>(reason.size()));
      PQfreeCancel(cancel);
    }
  }

  pq::Connection m_connection;
};

}  // namespace

RecordsResult<std::unique_ptr<RecordQuestions>> ServerQuestions(const std::string& uri) {
  auto connection = pq::Open(uri);
  if (!connection) {
    return MakeUnexpected(connection.error());
  }
  // Questions only read: the session refuses any write, and no question runs past its limit.
  // A summary groups a million attempts into a few thousand rows: with room for that table
  // in memory the server counts into it as it reads, instead of sorting every attempt on disk.
  for (const char* setting : {"SET default_transaction_read_only = on",
                              "SET statement_timeout = '30s'", "SET work_mem = '64MB'"}) {
    if (auto set = pq::Run(connection->get(), setting, WaitLimit()); !set) {
      return RecordsFailure("the records server could not be asked (" +
                            pq::Reason(connection->get()) + ")");
    }
  }
  return std::unique_ptr<RecordQuestions>(
      std::make_unique<ServerStoreQuestions>(std::move(*connection)));
}

}  // namespace lumaflash::records
