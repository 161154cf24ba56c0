#include "core/records/pq_connection.h"

#include <cstdlib>
#include <vector>

#include "core/records/server.h"
#include "core/records/server_uri.h"

namespace lumaflash::records::pq {

namespace {

constexpr int kConnectTimeoutSeconds = 2;

// Values given in the URI win over the short time-out set here (a station that cannot reach
// the server must not keep the program from ending); the password is left to libpq, which
// reads it from ~/.pgpass or PGPASSFILE.
RecordsResult<Connection> Connect(const std::string& uri) {
  auto address = ParseServerUri(uri);
  if (!address) {
    return RecordsFailure(Describe(address.error()));
  }
  std::vector<const char*> keys{"connect_timeout", "application_name"};
  const std::string timeout = std::to_string(kConnectTimeoutSeconds);
  std::vector<const char*> values{timeout.c_str(), "lumaflash"};
  for (const auto& [key, value] : address->keywords) {
    keys.push_back(key.c_str());
    values.push_back(value.c_str());
  }
  keys.push_back(nullptr);
  values.push_back(nullptr);
  Connection connection(PQconnectdbParams(keys.data(), values.data(), 1));
  if (!connection || PQstatus(connection.get()) != CONNECTION_OK) {
    return RecordsFailure("the records server cannot be reached (" + Reason(connection.get()) +
                          ")");
  }
  return connection;
}

RecordsResult<void> CheckSchema(PGconn* connection) {
  const Result result = Exec(connection, "SELECT max(version) FROM lumaflash_schema");
  if (PQresultStatus(result.get()) != PGRES_TUPLES_OK || PQntuples(result.get()) != 1) {
    return RecordsFailure("the records server has no Lumaflash tables (" + Reason(connection) +
                          "): set it up with docs/records.sql");
  }
  const int version = std::atoi(PQgetvalue(result.get(), 0, 0));
  if (version > kServerSchemaVersion) {
    return RecordsFailure("the records server has schema version " + std::to_string(version) +
                          ", but this Lumaflash knows versions up to " +
                          std::to_string(kServerSchemaVersion) + ": update Lumaflash");
  }
  return {};
}

}  // namespace

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
  return line;
}

Result Exec(PGconn* connection, const char* sql) {
  return Result(PQexec(connection, sql));
}

RecordsResult<Connection> Open(const std::string& uri) {
  RecordsResult<Connection> connection = Connect(uri);
  if (!connection) {
    return connection;
  }
  if (auto checked = CheckSchema(connection->get()); !checked) {
    return MakeUnexpected(checked.error());
  }
  return connection;
}

std::optional<std::string> Text(PGresult* result, int row, int column) {
  if (PQgetisnull(result, row, column) != 0) {
    return std::nullopt;
  }
  return std::string(PQgetvalue(result, row, column),
                     static_cast<std::size_t>(PQgetlength(result, row, column)));
}

}  // namespace lumaflash::records::pq
