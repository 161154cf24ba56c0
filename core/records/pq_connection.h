#pragma once

// What the server's files share: a connection and results that free themselves, statements sent
// without blocking past a wait limit, failures with the server's SQLSTATE, and the schema check.
#include <libpq-fe.h>

#include <chrono>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "core/platform/expected.h"
#include "core/records/records_error.h"
#include "core/records/server.h"

namespace lumaflash::records::pq {

struct ConnectionCloser {
  void operator()(PGconn* connection) const { PQfinish(connection); }
};
using Connection = std::unique_ptr<PGconn, ConnectionCloser>;

struct ResultClearer {
  void operator()(PGresult* result) const { PQclear(result); }
};
using Result = std::unique_ptr<PGresult, ResultClearer>;

// Why a statement failed. The server's SQLSTATE is empty when the server said nothing (the link
// failed, the wait was over); then the connection is of no further use.
struct Failure {
  std::string sqlState;
  std::string message;  // one line
};

template <typename T>
using PqResult = Expected<T, Failure>;

// Whether the server refused the statement's data for good (data exceptions, integrity and
// access rules, limits), so that sending it again can never succeed; everything else (the link,
// the server's load, time-outs, cancels) may pass on a later try.
bool RefusedForGood(const Failure& failure);

// libpq's last message for `connection`, on one line.
std::string Reason(PGconn* connection);

// What a connection is for: forwarding sessions get short statement and lock time-outs.
enum class Use { Questions, Forwarding };

// Connects to the server at `uri` without waiting past `limit` (nor past the URI's
// connect_timeout, 2 s unless it says otherwise), with keepalives and the time-outs of its use,
// and checks that the server holds a layout of the records this program knows.
RecordsResult<Connection> Open(const std::string& uri, const WaitLimit& limit = WaitLimit(),
                               Use use = Use::Questions);

// Sends one statement with text parameters (null pointers are SQL nulls) and waits for its
// result within `limit`; when the limit is over the statement is cancelled on the server.
PqResult<Result> Run(PGconn* connection, const std::string& sql,
                     const std::vector<const char*>& parameters, const WaitLimit& limit);
PqResult<Result> Run(PGconn* connection, const std::string& sql, const WaitLimit& limit);

// A value of a result row; nothing for SQL null.
std::optional<std::string> Text(PGresult* result, int row, int column);

// How a socket is waited for, by the platform's own call (poll, WSAPoll).
enum class SocketEvent { Readable, Writable };
enum class SocketWait { Ready, TimedOut, Failed };
SocketWait WaitForSocket(int socket, SocketEvent event, std::chrono::milliseconds timeout);

}  // namespace lumaflash::records::pq
