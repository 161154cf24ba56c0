#pragma once

// What the server's files share: a connection and results that free themselves, the reason of
// the last failure in one line, and the schema check.
#include <libpq-fe.h>

#include <memory>
#include <optional>
#include <string>

#include "core/records/records_error.h"

namespace lumaflash::records::pq {

struct ConnectionCloser {
  void operator()(PGconn* connection) const { PQfinish(connection); }
};
using Connection = std::unique_ptr<PGconn, ConnectionCloser>;

struct ResultClearer {
  void operator()(PGresult* result) const { PQclear(result); }
};
using Result = std::unique_ptr<PGresult, ResultClearer>;

// libpq's last message for `connection`, on one line.
std::string Reason(PGconn* connection);

Result Exec(PGconn* connection, const char* sql);

// Connects to the server at `uri` and checks that it holds a layout of the records this
// program knows.
RecordsResult<Connection> Open(const std::string& uri);

// A value of a result row; nothing for SQL null.
std::optional<std::string> Text(PGresult* result, int row, int column);

}  // namespace lumaflash::records::pq
