#include "core/records/pq_connection.h"

#include <algorithm>
#include <array>
#include <cstdlib>
#include <string_view>
#include <utility>

#include "core/records/server_uri.h"

namespace lumaflash::records::pq {

namespace {

using Clock = std::chrono::steady_clock;

// How often a wait on the server looks at its limit.
constexpr std::chrono::milliseconds kSlice{50};
constexpr int kConnectTimeoutSeconds = 2;

// The session's own limits. Keepalives and tcp_user_timeout notice a dead link within about
// 20 s. A station that forwards must neither keep the program from ending nor hold locks for
// long: the server ends its statement after 20 s and its wait for a lock after 10 s (questions
// keep the reader role's own, longer limits). The end of a run has its own, shorter deadline,
// which the waits below keep by cancelling.
constexpr std::array<std::pair<const char*, const char*>, 6> kSessionKeywords{{
    {"application_name", "lumaflash"},
    {"keepalives", "1"},
    {"keepalives_idle", "10"},
    {"keepalives_interval", "5"},
    {"keepalives_count", "2"},
    {"tcp_user_timeout", "20000"},
}};
constexpr const char* kForwardingOptions =
    "-c statement_timeout=20s -c lock_timeout=10s -c idle_in_transaction_session_timeout=10s";

Unexpected<RecordsError> Unreachable(const std::string& reason) {
  return RecordsFailure("the records server cannot be reached (" + reason +
                        "): check the address, the network and the server");
}

// The connect_timeout that libpq settled on (the URI's, else ours); libpq leaves it to the
// caller when it connects without blocking.
std::chrono::seconds ConnectTimeout(PGconn* connection) {
  int seconds = kConnectTimeoutSeconds;
  PQconninfoOption* options = PQconninfo(connection);
  for (PQconninfoOption* option = options; option != nullptr && option->keyword != nullptr;
       ++option) {
    if (std::string_view(option->keyword) == "connect_timeout" && option->val != nullptr) {
      seconds = std::max(1, std::atoi(option->val));
    }
  }
  PQconninfoFree(options);
  return std::chrono::seconds(seconds);
}

// Waits for the socket as `polling` asks, or for the next look at the limit.
SocketWait WaitAsPolled(PGconn* connection, PostgresPollingStatusType polling,
                        std::chrono::milliseconds slice) {
  return WaitForSocket(
      PQsocket(connection),
      polling == PGRES_POLLING_READING ? SocketEvent::Readable : SocketEvent::Writable, slice);
}

// Values given in the URI win over the ones set here: ours come first, the URI's after them.
RecordsResult<Connection> Connect(const std::string& uri, const WaitLimit& limit, Use use) {
  auto address = ParseServerUri(uri);
  if (!address) {
    return RecordsFailure(Describe(address.error()));
  }
  const std::string timeout = std::to_string(kConnectTimeoutSeconds);
  std::vector<const char*> keys{"connect_timeout"};
  std::vector<const char*> values{timeout.c_str()};
  for (const auto& [key, value] : kSessionKeywords) {
    keys.push_back(key);
    values.push_back(value);
  }
  if (use == Use::Forwarding) {
    keys.push_back("options");
    values.push_back(kForwardingOptions);
  }
  for (const auto& [key, value] : address->keywords) {
    keys.push_back(key.c_str());
    values.push_back(value.c_str());
  }
  keys.push_back(nullptr);
  values.push_back(nullptr);
  // The URI is already taken apart into keywords, none of which is expanded again.
  Connection connection(PQconnectStartParams(keys.data(), values.data(), 0));
  if (!connection || PQstatus(connection.get()) == CONNECTION_BAD) {
    return Unreachable(Reason(connection.get()));
  }
  const auto giveUp = Clock::now() + ConnectTimeout(connection.get());
  PostgresPollingStatusType polling = PGRES_POLLING_WRITING;
  while (polling != PGRES_POLLING_OK) {
    if (polling == PGRES_POLLING_FAILED) {
      return Unreachable(Reason(connection.get()));
    }
    if (limit.Over()) {
      return RecordsFailure(limit.Why());
    }
    if (Clock::now() >= giveUp) {
      return Unreachable("no answer within " +
                         std::to_string(ConnectTimeout(connection.get()).count()) + " s");
    }
    const SocketWait wait = WaitAsPolled(connection.get(), polling, limit.Slice(kSlice));
    if (wait == SocketWait::Failed) {
      return Unreachable(Reason(connection.get()));
    }
    if (wait == SocketWait::Ready) {
      polling = PQconnectPoll(connection.get());
    }
  }
  PQsetnonblocking(connection.get(), 1);
  return connection;
}

RecordsResult<void> CheckSchema(PGconn* connection, const WaitLimit& limit) {
  constexpr std::string_view kUndefinedTable = "42P01";
  auto result = Run(connection, "SELECT max(version) FROM lumaflash_schema", limit);
  if (!result && result.error().sqlState != kUndefinedTable) {
    return RecordsFailure("the records server did not answer (" + result.error().message + ")");
  }
  if (!result || PQntuples(result->get()) != 1 || PQgetisnull(result->get(), 0, 0) != 0) {
    return RecordsFailure("the records server has no Lumaflash tables (" +
                          (result ? std::string("no schema version") : result.error().message) +
                          "): set it up with docs/records.sql");
  }
  const int version = std::atoi(PQgetvalue(result->get(), 0, 0));
  if (version > kServerSchemaVersion) {
    return RecordsFailure("the records server has schema version " + std::to_string(version) +
                          ", but this Lumaflash knows versions up to " +
                          std::to_string(kServerSchemaVersion) + ": update Lumaflash");
  }
  return {};
}

Failure LinkFailure(PGconn* connection) {
  return Failure{"", Reason(connection)};
}

// Asks the server to abandon the statement: the session stays, the statement ends at once
// instead of when its locks or the server's time-outs allow.
void Cancel(PGconn* connection) {
  PGcancel* cancel = PQgetCancel(connection);
  if (cancel != nullptr) {
    std::array<char, 256> error{};
    PQcancel(cancel, error.data(), static_cast<int>(error.size()));
    PQfreeCancel(cancel);
  }
}

// Waits until libpq holds a whole result (or the link has failed, or the limit is over).
PqResult<void> AwaitResult(PGconn* connection, const WaitLimit& limit) {
  while (PQisBusy(connection) != 0) {
    if (limit.Over()) {
      Cancel(connection);
      return MakeUnexpected(Failure{"", limit.Why()});
    }
    const SocketWait wait =
        WaitForSocket(PQsocket(connection), SocketEvent::Readable, limit.Slice(kSlice));
    if (wait == SocketWait::Failed ||
        (wait == SocketWait::Ready && PQconsumeInput(connection) == 0)) {
      return MakeUnexpected(LinkFailure(connection));
    }
  }
  return {};
}

// Sends what libpq still holds of the statement; a large batch takes several writes.
PqResult<void> Flush(PGconn* connection, const WaitLimit& limit) {
  for (;;) {
    const int flushed = PQflush(connection);
    if (flushed == 0) {
      return {};
    }
    if (flushed < 0) {
      return MakeUnexpected(LinkFailure(connection));
    }
    if (limit.Over()) {
      return MakeUnexpected(Failure{"", limit.Why()});
    }
    // The server may answer (an error, a notice) before it has read everything: read that too.
    const SocketWait wait =
        WaitForSocket(PQsocket(connection), SocketEvent::Writable, limit.Slice(kSlice));
    if (wait == SocketWait::Failed || PQconsumeInput(connection) == 0) {
      return MakeUnexpected(LinkFailure(connection));
    }
  }
}

Failure StatementFailure(PGconn* connection, PGresult* result) {
  const char* state = PQresultErrorField(result, PG_DIAG_SQLSTATE);
  const char* primary = PQresultErrorField(result, PG_DIAG_MESSAGE_PRIMARY);
  if (state == nullptr || primary == nullptr) {
    return LinkFailure(connection);
  }
  return Failure{state, primary};
}

}  // namespace

bool RefusedForGood(const Failure& failure) {
  // SQLSTATE classes: 21 cardinality, 22 data exception, 23 integrity constraint, 42 syntax or
  // access rule (row-level security included), 44 check option, 54 program limit.
  constexpr std::array<std::string_view, 6> kForGood{"21", "22", "23", "42", "44", "54"};
  const std::string_view state = failure.sqlState;
  return state.size() == 5 &&
         std::find(kForGood.begin(), kForGood.end(), state.substr(0, 2)) != kForGood.end();
}

std::string Reason(PGconn* connection) {
  std::string text = connection == nullptr ? "out of memory" : PQerrorMessage(connection);
  // libpq's messages run over several lines; ours are one line each.
  std::string line;
  for (char c : text) {
    const bool space = c == '\n' || c == '\t' || c == ' ';
    if (!space) {
      line += c;
    } else if (!line.empty() && line.back() != ' ') {
      line += ' ';
    }
  }
  while (!line.empty() && line.back() == ' ') {
    line.pop_back();
  }
  return line.empty() ? "the connection was lost" : line;
}

RecordsResult<Connection> Open(const std::string& uri, const WaitLimit& limit, Use use) {
  RecordsResult<Connection> connection = Connect(uri, limit, use);
  if (!connection) {
    return connection;
  }
  if (auto checked = CheckSchema(connection->get(), limit); !checked) {
    return MakeUnexpected(checked.error());
  }
  return connection;
}

PqResult<Result> Run(PGconn* connection, const std::string& sql,
                     const std::vector<const char*>& parameters, const WaitLimit& limit) {
  if (PQsendQueryParams(connection, sql.c_str(), static_cast<int>(parameters.size()), nullptr,
                        parameters.data(), nullptr, nullptr, 0) == 0) {
    return MakeUnexpected(LinkFailure(connection));
  }
  if (auto flushed = Flush(connection, limit); !flushed) {
    return MakeUnexpected(flushed.error());
  }
  // One statement gives one result; the first failure wins, and the rest is read to the end
  // so that the connection is ready for the next statement.
  Result kept;
  std::optional<Failure> failure;
  for (;;) {
    if (auto ready = AwaitResult(connection, limit); !ready) {
      return MakeUnexpected(ready.error());
    }
    Result next(PQgetResult(connection));
    if (!next) {
      break;
    }
    const ExecStatusType status = PQresultStatus(next.get());
    if (status != PGRES_COMMAND_OK && status != PGRES_TUPLES_OK && !failure) {
      failure = StatementFailure(connection, next.get());
    }
    kept = std::move(next);
  }
  if (failure) {
    return MakeUnexpected(std::move(*failure));
  }
  if (!kept) {
    return MakeUnexpected(LinkFailure(connection));
  }
  return kept;
}

PqResult<Result> Run(PGconn* connection, const std::string& sql, const WaitLimit& limit) {
  return Run(connection, sql, {}, limit);
}

std::optional<std::string> Text(PGresult* result, int row, int column) {
  if (PQgetisnull(result, row, column) != 0) {
    return std::nullopt;
  }
  return std::string(PQgetvalue(result, row, column),
                     static_cast<std::size_t>(PQgetlength(result, row, column)));
}

}  // namespace lumaflash::records::pq
