// Forwarding the local store's records to the server.
#include <array>
#include <vector>

#include "core/records/pq_connection.h"
#include "core/records/record_fields.h"
#include "core/records/server.h"

namespace lumaflash::records {

namespace {

constexpr std::size_t kBatch = 200;

std::string InsertStatement() {
  std::string placeholders;
  for (std::size_t i = 1; i <= kRecordFields.size(); ++i) {
    placeholders += (i > 1 ? ", $" : "$") + std::to_string(i);
  }
  return "INSERT INTO records (" + ColumnList() + ") VALUES (" + placeholders +
         ") ON CONFLICT (id) DO NOTHING";
}

// Every value goes as text; the server takes each by its column's type.
struct Parameters {
  std::array<std::optional<std::string>, kRecordFields.size()> texts;
  std::array<const char*, kRecordFields.size()> pointers{};

  explicit Parameters(const Record& record) {
    for (std::size_t i = 0; i < kRecordFields.size(); ++i) {
      texts[i] = FieldText(record, kRecordFields[i]);
      pointers[i] = texts[i] ? texts[i]->c_str() : nullptr;
    }
  }
};

// One batch in one transaction: either the server commits all of it or none.
RecordsResult<void> SendBatch(PGconn* connection, const std::vector<Record>& batch) {
  if (PQresultStatus(pq::Exec(connection, "BEGIN").get()) != PGRES_COMMAND_OK) {
    return RecordsFailure("the records server refused a transaction (" + pq::Reason(connection) +
                          ")");
  }
  const std::string insert = InsertStatement();
  for (const Record& record : batch) {
    const Parameters parameters(record);
    const pq::Result result(PQexecParams(connection, insert.c_str(),
                                         static_cast<int>(kRecordFields.size()), nullptr,
                                         parameters.pointers.data(), nullptr, nullptr, 0));
    if (PQresultStatus(result.get()) != PGRES_COMMAND_OK) {
      std::string error =
          "the records server refused record " + record.id + " (" + pq::Reason(connection) + ")";
      pq::Exec(connection, "ROLLBACK");
      return RecordsFailure(std::move(error));
    }
  }
  if (PQresultStatus(pq::Exec(connection, "COMMIT").get()) != PGRES_COMMAND_OK) {
    return RecordsFailure("the records server did not commit (" + pq::Reason(connection) + ")");
  }
  return {};
}

}  // namespace

ForwardReport ForwardWaiting(RecordStore& store, const std::string& uri) {
  ForwardReport report;
  // The server is asked even when nothing waits: a sync that says all is well has seen a
  // server it can write to.
  auto connection = pq::Open(uri);
  if (!connection) {
    report.failure = connection.error();
    return report;
  }
  for (;;) {
    auto batch = store.Unforwarded(kBatch);
    if (!batch) {
      report.failure = batch.error();
      return report;
    }
    if (batch->empty()) {
      return report;
    }
    if (auto sent = SendBatch(connection->get(), *batch); !sent) {
      report.failure = sent.error();
      return report;
    }
    std::vector<std::string> ids;
    ids.reserve(batch->size());
    for (const Record& record : *batch) {
      ids.push_back(record.id);
    }
    // Only now, with the server's commit done, do the records count as forwarded. Marking may
    // still fail; the next round then sends them again and the server keeps them once.
    if (auto marked = store.MarkForwarded(ids); !marked) {
      report.failure = marked.error();
      return report;
    }
    report.sent += batch->size();
  }
}

}  // namespace lumaflash::records
