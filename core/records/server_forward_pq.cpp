// Forwarding the local store's records to the server: each batch one insert of column arrays; a
// batch the server refuses for good is sifted under savepoints until the refused records stand
// alone, and the others go in.
#include <algorithm>
#include <array>
#include <span>
#include <vector>

#include "core/records/pq_connection.h"
#include "core/records/record_fields.h"
#include "core/records/server.h"
#include "core/records/server_uri.h"

namespace lumaflash::records {

namespace {

// Records in a batch: one statement and one commit on the server, one mark in the store.
constexpr std::size_t kBatch = 2000;

using Rows = std::span<const ReadyRecord>;

// One statement for any number of records: each column goes as one array. A record sent twice
// (its mark lost after the server's commit) stays one row; without a conflict column the insert
// needs no right to read the table.
std::string InsertStatement() {
  std::string arrays;
  for (std::size_t i = 0; i < kRecordFields.size(); ++i) {
    arrays += (i == 0 ? "$" : ", $") + std::to_string(i + 1) +
              "::" + std::string(kRecordFields[i].serverType) + "[]";
  }
  return "INSERT INTO records (" + ColumnList() + ") SELECT * FROM unnest(" + arrays +
         ") ON CONFLICT DO NOTHING";
}

// Adds `text` to an array literal begun with "{" as one element: quoted, with quotes and
// backslashes escaped; SQL null as NULL.
void AppendElement(std::string& array, const std::optional<std::string>& text) {
  array += array == "{" ? "" : ",";
  if (!text) {
    array += "NULL";
    return;
  }
  array += '"';
  for (char c : *text) {
    if (c == '"' || c == '\\') {
      array += '\\';
    }
    array += c;
  }
  array += '"';
}

// The column arrays of `rows`, as text; the server takes each by its column's type.
class Parameters {
 public:
  explicit Parameters(Rows rows) {
    for (std::size_t i = 0; i < kRecordFields.size(); ++i) {
      m_arrays[i] = "{";
      for (const ReadyRecord& row : rows) {
        AppendElement(m_arrays[i], FieldText(row.record, kRecordFields[i]));
      }
      m_arrays[i] += "}";
      m_pointers[i] = m_arrays[i].c_str();
    }
  }
  std::vector<const char*> Pointers() const { return {m_pointers.begin(), m_pointers.end()}; }

 private:
  std::array<std::string, kRecordFields.size()> m_arrays;
  std::array<const char*, kRecordFields.size()> m_pointers{};
};

pq::PqResult<void> Insert(PGconn* connection, Rows rows, const WaitLimit& limit) {
  const Parameters parameters(rows);
  static const std::string kInsert = InsertStatement();
  auto inserted = pq::Run(connection, kInsert, parameters.Pointers(), limit);
  if (!inserted) {
    return MakeUnexpected(inserted.error());
  }
  return {};
}

pq::PqResult<void> Execute(PGconn* connection, const char* sql, const WaitLimit& limit) {
  auto done = pq::Run(connection, sql, limit);
  if (!done) {
    return MakeUnexpected(done.error());
  }
  return {};
}

// Inserts `rows` under a savepoint. A range the server refuses for good is rolled back and
// halved until each refused record stands alone; those are noted in `refused`, the rest stay in.
pq::PqResult<void> Sift(PGconn* connection, Rows rows, const std::string& server,
                        std::vector<Rejection>& refused, const WaitLimit& limit) {
  if (auto begun = Execute(connection, "SAVEPOINT sift", limit); !begun) {
    return begun;
  }
  auto inserted = Insert(connection, rows, limit);
  if (inserted) {
    return Execute(connection, "RELEASE SAVEPOINT sift", limit);
  }
  if (!pq::RefusedForGood(inserted.error())) {
    return inserted;
  }
  if (auto undone = Execute(connection, "ROLLBACK TO SAVEPOINT sift", limit); !undone) {
    return undone;
  }
  if (auto released = Execute(connection, "RELEASE SAVEPOINT sift", limit); !released) {
    return released;
  }
  if (rows.size() == 1) {
    refused.push_back(
        {rows[0].record, server, inserted.error().sqlState, inserted.error().message, 0});
    return {};
  }
  const std::size_t half = rows.size() / 2;
  if (auto first = Sift(connection, rows.first(half), server, refused, limit); !first) {
    return first;
  }
  return Sift(connection, rows.subspan(half), server, refused, limit);
}

// One batch: all of it in one statement, or, when the server refuses that for good, one
// transaction in which only the refused records are left out.
pq::PqResult<std::vector<Rejection>> SendBatch(PGconn* connection, Rows rows,
                                               const std::string& server, const WaitLimit& limit,
                                               bool sift) {
  std::vector<Rejection> refused;
  if (!sift) {
    auto inserted = Insert(connection, rows, limit);
    if (inserted) {
      return refused;
    }
    if (!pq::RefusedForGood(inserted.error())) {
      return MakeUnexpected(inserted.error());
    }
  }
  if (auto begun = Execute(connection, "BEGIN", limit); !begun) {
    return MakeUnexpected(begun.error());
  }
  if (auto sifted = Sift(connection, rows, server, refused, limit); !sifted) {
    return MakeUnexpected(sifted.error());
  }
  if (auto committed = Execute(connection, "COMMIT", limit); !committed) {
    return MakeUnexpected(committed.error());
  }
  return refused;
}

std::string Describe(const pq::Failure& failure) {
  if (failure.sqlState.empty()) {
    return "the records server did not take the records (" + failure.message + ")";
  }
  return "the records server did not take the records for now (SQLSTATE " + failure.sqlState +
         ": " + failure.message + ")";
}

std::string AddressOf(const std::string& uri) {
  auto address = ParseServerUri(uri);
  return address ? address->shown : std::string();
}

// What the server is, under any address, and whether this login may add records through the
// program's column list.
constexpr const char* kAbout =
    "SELECT (SELECT system_identifier::text FROM pg_control_system()) || '/' || "
    "current_database(), current_user, (SELECT bool_and(has_column_privilege('records', c, "
    "'INSERT')) FROM unnest(string_to_array($1, ', ')) AS c)";

// A connection to a server that holds records of this program and lets this login add them.
struct Connected {
  pq::Connection connection;
  std::string identity;  // as the store tells servers apart
  int64_t key = 0;       // the server's key in the store
};

RecordsResult<Connected> Connect(const std::string& uri, RecordStore& store,
                                 const WaitLimit& limit) {
  auto connection = pq::Open(uri, limit, pq::Use::Forwarding);
  if (!connection) {
    return MakeUnexpected(connection.error());
  }
  const std::string columns = ColumnList();
  auto about = pq::Run(connection->get(), kAbout, {columns.c_str()}, limit);
  if (!about) {
    return RecordsFailure("the records server did not say who it is (" + about.error().message +
                          ")");
  }
  PGresult* row = about->get();
  if (pq::Text(row, 0, 2).value_or("f") != "t") {
    return RecordsFailure("the role " + pq::Text(row, 0, 1).value_or("?") +
                          " may not add records on the records server: name the station role "
                          "in the URI (docs/records_server.md), or grant it INSERT on records "
                          "as docs/records.sql does");
  }
  Connected connected{.connection = std::move(*connection),
                      .identity = pq::Text(row, 0, 0).value_or("")};
  auto key = store.ServerKey({connected.identity, AddressOf(uri)});
  if (!key) {
    return MakeUnexpected(key.error());
  }
  connected.key = *key;
  return connected;
}

// Whether a link may be used again after a step that failed.
enum class LinkAfter { Kept, Lost };

// Offers the records this server refused before once more; those it takes now are no longer
// marked as refused.
LinkAfter OfferRefusedAgain(const Connected& link, RecordStore& store, const WaitLimit& limit,
                            ForwardReport& report) {
  auto before = store.RefusedBy(link.key);
  if (!before) {
    report.failure = before.error();
    return LinkAfter::Kept;
  }
  if (before->empty()) {
    return LinkAfter::Kept;
  }
  auto sent = SendBatch(link.connection.get(), *before, link.identity, limit, true);
  if (!sent) {
    report.failure = RecordsError{Describe(sent.error())};
    return LinkAfter::Lost;
  }
  ForwardMark mark;
  for (const ReadyRecord& row : *before) {
    if (std::none_of(sent->begin(), sent->end(),
                     [&](const Rejection& still) { return still.record.id == row.record.id; })) {
      mark.accepted.push_back(row.record.id);
    }
  }
  mark.refused = std::move(*sent);
  if (auto marked = store.MarkForwarded(link.key, mark); !marked) {
    report.failure = marked.error();
    return LinkAfter::Kept;
  }
  report.sent += mark.accepted.size();
  return LinkAfter::Kept;
}

// Sends the records that wait for this server, batch after batch, until none waits.
LinkAfter SendWaiting(const Connected& link, RecordStore& store, const WaitLimit& limit,
                      ForwardReport& report) {
  for (;;) {
    auto batch = store.WaitingFor(link.key, kBatch);
    if (!batch) {
      report.failure = batch.error();
      return LinkAfter::Kept;
    }
    if (batch->empty()) {
      return LinkAfter::Kept;
    }
    auto refused = SendBatch(link.connection.get(), *batch, link.identity, limit, false);
    if (!refused) {
      report.failure = RecordsError{Describe(refused.error())};
      return LinkAfter::Lost;
    }
    // Only now, with the server's commit done, do the records count as forwarded. Marking may
    // still fail; the next round then sends them again and the server keeps them once.
    const std::size_t taken = batch->size() - refused->size();
    report.refused.insert(report.refused.end(), refused->begin(), refused->end());
    if (auto marked = store.MarkForwarded(link.key, {batch->back().place, std::move(*refused), {}});
        !marked) {
      report.failure = marked.error();
      return LinkAfter::Kept;
    }
    report.sent += taken;
  }
}

}  // namespace

struct ServerLink::Link : Connected {};

ServerLink::ServerLink(std::string uri) : m_uri(std::move(uri)) {}

ServerLink::~ServerLink() = default;

ForwardReport ServerLink::Forward(RecordStore& store, const WaitLimit& limit, bool retryRefused) {
  ForwardReport report;
  if (!m_link) {
    // The server is asked even when nothing waits: a sync that says all is well has seen a
    // server it can write to.
    auto connected = Connect(m_uri, store, limit);
    if (!connected) {
      report.failure = connected.error();
      return report;
    }
    m_link = std::make_unique<Link>(Link{std::move(*connected)});
  }
  const std::string identity = m_link->identity;
  LinkAfter after =
      retryRefused ? OfferRefusedAgain(*m_link, store, limit, report) : LinkAfter::Kept;
  if (!report.failure) {
    after = SendWaiting(*m_link, store, limit, report);
  }
  if (after == LinkAfter::Lost) {
    m_link.reset();  // a link that failed is made again by the next call
  }
  if (auto all = store.Rejections(); all) {
    for (Rejection& rejection : *all) {
      if (rejection.server == identity) {
        report.rejected.push_back(std::move(rejection));
      }
    }
  }
  return report;
}

std::optional<std::size_t> ServerLink::CountWaiting(RecordStore& store) {
  return store.CountWaiting(m_link ? std::optional<int64_t>(m_link->key) : std::nullopt,
                            AddressOf(m_uri));
}

}  // namespace lumaflash::records
