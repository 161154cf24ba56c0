#include <libpq-fe.h>

#include <array>
#include <memory>
#include <optional>

#include "core/records/server.h"

namespace lumaflash::records {

namespace {

constexpr std::size_t kBatch = 200;
constexpr int kConnectTimeoutSeconds = 2;

struct ConnectionCloser {
  void operator()(PGconn* connection) const { PQfinish(connection); }
};
using Connection = std::unique_ptr<PGconn, ConnectionCloser>;

struct ResultClearer {
  void operator()(PGresult* result) const { PQclear(result); }
};
using Result = std::unique_ptr<PGresult, ResultClearer>;

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

// Values given in the URI win over the short time-out set here (a station that cannot reach
// the server must not keep the program from ending); the password is left to libpq, which
// reads it from ~/.pgpass or PGPASSFILE.
Connection Connect(const std::string& uri, std::string& error) {
  const std::string timeout = std::to_string(kConnectTimeoutSeconds);
  const std::array<const char*, 4> keys{"connect_timeout", "application_name", "dbname", nullptr};
  const std::array<const char*, 4> values{timeout.c_str(), "lumaflash", uri.c_str(), nullptr};
  Connection connection(PQconnectdbParams(keys.data(), values.data(), 1));
  if (!connection || PQstatus(connection.get()) != CONNECTION_OK) {
    error = "the records server cannot be reached (" + Reason(connection.get()) + ")";
    return nullptr;
  }
  return connection;
}

Result Exec(PGconn* connection, const char* sql) {
  return Result(PQexec(connection, sql));
}

bool CheckSchema(PGconn* connection, std::string& error) {
  const Result result = Exec(connection, "SELECT max(version) FROM lumaflash_schema");
  if (PQresultStatus(result.get()) != PGRES_TUPLES_OK || PQntuples(result.get()) != 1) {
    error = "the records server has no Lumaflash tables (" + Reason(connection) +
            "): set it up with docs/records.sql";
    return false;
  }
  const int version = std::atoi(PQgetvalue(result.get(), 0, 0));
  if (version > kServerSchemaVersion) {
    error = "the records server has schema version " + std::to_string(version) +
            ", but this Lumaflash knows versions up to " + std::to_string(kServerSchemaVersion) +
            ": update Lumaflash";
    return false;
  }
  return true;
}

Connection Open(const std::string& uri, std::string& error) {
  Connection connection = Connect(uri, error);
  if (connection && !CheckSchema(connection.get(), error)) {
    return nullptr;
  }
  return connection;
}

constexpr const char* kInsert =
    "INSERT INTO records (id, started_at, ended_at, station, operator, program_version, port, "
    "usb_vid, usb_pid, usb_serial, device_id, device_name, bootloader_version, "
    "firmware_version, serial, image_path, image_sha256, image_header_version, image_length, "
    "result, status, failed_block, block_count, duration_ms) VALUES ($1, $2, $3, $4, $5, $6, "
    "$7, $8, $9, $10, $11, $12, $13, $14, $15, $16, $17, $18, $19, $20, $21, $22, $23, $24) "
    "ON CONFLICT (id) DO NOTHING";

// Every value goes as text; the server takes each by its column's type.
struct Parameters {
  std::array<std::optional<std::string>, 24> texts;
  std::array<const char*, 24> pointers{};

  explicit Parameters(const Record& record) {
    auto number = [](const std::optional<int64_t>& value) -> std::optional<std::string> {
      return value ? std::optional<std::string>(std::to_string(*value)) : std::nullopt;
    };
    texts = {record.id,
             IsoUtc(record.startedAtMs),
             IsoUtc(record.endedAtMs),
             record.station,
             record.operatorName,
             record.programVersion,
             record.port,
             record.usbVid,
             record.usbPid,
             record.usbSerial,
             record.deviceId,
             record.deviceName,
             record.bootloaderVersion,
             record.firmwareVersion,
             record.serial,
             record.imagePath,
             record.imageSha256,
             number(record.imageHeaderVersion),
             number(record.imageLength),
             record.result,
             record.status,
             number(record.failedBlock),
             number(record.blockCount),
             std::to_string(record.durationMs)};
    for (std::size_t i = 0; i < texts.size(); ++i) {
      pointers[i] = texts[i] ? texts[i]->c_str() : nullptr;
    }
  }
};

// One batch in one transaction: either the server commits all of it or none.
bool SendBatch(PGconn* connection, const std::vector<Record>& batch, std::string& error) {
  if (PQresultStatus(Exec(connection, "BEGIN").get()) != PGRES_COMMAND_OK) {
    error = "the records server refused a transaction (" + Reason(connection) + ")";
    return false;
  }
  for (const Record& record : batch) {
    const Parameters parameters(record);
    const Result result(PQexecParams(connection, kInsert, 24, nullptr, parameters.pointers.data(),
                                     nullptr, nullptr, 0));
    if (PQresultStatus(result.get()) != PGRES_COMMAND_OK) {
      error = "the records server refused record " + record.id + " (" + Reason(connection) + ")";
      Exec(connection, "ROLLBACK");
      return false;
    }
  }
  if (PQresultStatus(Exec(connection, "COMMIT").get()) != PGRES_COMMAND_OK) {
    error = "the records server did not commit (" + Reason(connection) + ")";
    return false;
  }
  return true;
}

std::optional<std::string> Text(PGresult* result, int row, int column) {
  if (PQgetisnull(result, row, column) != 0) {
    return std::nullopt;
  }
  return std::string(PQgetvalue(result, row, column),
                     static_cast<std::size_t>(PQgetlength(result, row, column)));
}

std::optional<int64_t> Number(PGresult* result, int row, int column) {
  const auto text = Text(result, row, column);
  return text ? std::optional<int64_t>(std::stoll(*text)) : std::nullopt;
}

Record ReadRow(PGresult* result, int row) {
  Record record;
  record.id = Text(result, row, 0).value_or("");
  record.startedAtMs = Number(result, row, 1).value_or(0);
  record.endedAtMs = Number(result, row, 2).value_or(0);
  record.station = Text(result, row, 3).value_or("");
  record.operatorName = Text(result, row, 4).value_or("");
  record.programVersion = Text(result, row, 5).value_or("");
  record.port = Text(result, row, 6).value_or("");
  record.usbVid = Text(result, row, 7);
  record.usbPid = Text(result, row, 8);
  record.usbSerial = Text(result, row, 9);
  record.deviceId = Text(result, row, 10);
  record.deviceName = Text(result, row, 11);
  record.bootloaderVersion = Text(result, row, 12);
  record.firmwareVersion = Text(result, row, 13);
  record.serial = Text(result, row, 14);
  record.imagePath = Text(result, row, 15);
  record.imageSha256 = Text(result, row, 16);
  record.imageHeaderVersion = Number(result, row, 17);
  record.imageLength = Number(result, row, 18);
  record.result = Text(result, row, 19).value_or("");
  record.status = Text(result, row, 20);
  record.failedBlock = Number(result, row, 21);
  record.blockCount = Number(result, row, 22);
  record.durationMs = Number(result, row, 23).value_or(0);
  return record;
}

}  // namespace

bool ForwardWaiting(RecordStore& store, const std::string& uri, std::size_t& sent,
                    std::string& error) {
  // The server is asked even when nothing waits: a sync that says all is well has seen a
  // server it can write to.
  Connection connection = Open(uri, error);
  if (!connection) {
    return false;
  }
  std::vector<Record> batch;
  if (!store.Unforwarded(kBatch, batch, error)) {
    return false;
  }
  while (!batch.empty()) {
    if (!SendBatch(connection.get(), batch, error)) {
      return false;
    }
    std::vector<std::string> ids;
    ids.reserve(batch.size());
    for (const Record& record : batch) {
      ids.push_back(record.id);
    }
    // Only now, with the server's commit done, do the records count as forwarded. Marking may
    // still fail; the next round then sends them again and the server keeps them once.
    if (!store.MarkForwarded(ids, error)) {
      return false;
    }
    sent += batch.size();
    batch.clear();
    if (!store.Unforwarded(kBatch, batch, error)) {
      return false;
    }
  }
  return true;
}

bool FindOnServer(const std::string& uri, const RecordFilter& filter, std::vector<Record>& found,
                  std::string& error) {
  Connection connection = Open(uri, error);
  if (!connection) {
    return false;
  }
  std::string sql =
      "SELECT id::text, (extract(epoch FROM started_at) * 1000)::bigint, "
      "(extract(epoch FROM ended_at) * 1000)::bigint, station, operator, program_version, port, "
      "usb_vid, usb_pid, usb_serial, device_id, device_name, bootloader_version, "
      "firmware_version, serial, image_path, image_sha256, image_header_version, image_length, "
      "result, status, failed_block, block_count, duration_ms FROM records";
  // Fixed pieces, one per filter that is set; the values go as parameters.
  std::vector<std::string> values;
  auto add = [&](const char* column, const std::optional<std::string>& value) {
    if (value) {
      values.push_back(*value);
      sql += (values.size() == 1 ? " WHERE " : " AND ") + std::string(column) + " $" +
             std::to_string(values.size());
    }
  };
  auto time = [](const std::optional<int64_t>& ms) {
    return ms ? std::optional<std::string>(IsoUtc(*ms)) : std::nullopt;
  };
  add("started_at >=", time(filter.sinceMs));
  add("started_at <", time(filter.untilMs));
  add("serial =", filter.serial);
  add("usb_serial =", filter.usbSerial);
  add("image_sha256 =", filter.imageSha256);
  add("image_path =", filter.imagePath);
  add("result =", filter.result);
  add("station =", filter.station);
  sql += " ORDER BY started_at DESC, id";
  std::vector<const char*> pointers;
  pointers.reserve(values.size());
  for (const std::string& value : values) {
    pointers.push_back(value.c_str());
  }
  const Result result(PQexecParams(connection.get(), sql.c_str(), static_cast<int>(pointers.size()),
                                   nullptr, pointers.data(), nullptr, nullptr, 0));
  if (PQresultStatus(result.get()) != PGRES_TUPLES_OK) {
    error = "the records server could not be asked (" + Reason(connection.get()) + ")";
    return false;
  }
  for (int row = 0; row < PQntuples(result.get()); ++row) {
    found.push_back(ReadRow(result.get(), row));
  }
  return true;
}

}  // namespace lumaflash::records
