// The station's records: one per update attempt from lumaflash-cli, with its fields, kept in a
// real SQLite file before the attempt's end is told; stores that cannot be used; the questions.
#include <gtest/gtest.h>
#include <sqlite3.h>

#include <algorithm>
#include <csignal>
#include <fstream>
#include <functional>
#include <regex>
#include <string>
#include <vector>

#include "core/platform/sha256.h"
#include "core/records/record_fields.h"
#include "core/records/record_store.h"
#include "core/records/summary.h"
#include "sim/image_file.h"
#include "tests/support/read_file.h"
#include "tests/support/run_program.h"
#include "tests/support/sim_devices.h"
#include "tests/support/temp_dir.h"

namespace lumaflash {
namespace {

using records::Record;
using records::RecordStore;
using testing::Has;
using testing::PrintTo;
using testing::StartPackets;
using testing::WaitFor;

constexpr const char* kHostile = "'); DROP TABLE records; --";

std::vector<Record> ReadStore(const std::filesystem::path& path) {
  auto store = RecordStore::Open(path, RecordStore::Mode::Read);
  EXPECT_TRUE(store) << records::Describe(store.error());
  if (!store) {
    return {};
  }
  auto found = (*store)->Find({});
  EXPECT_TRUE(found) << records::Describe(found.error());
  return found ? *found : std::vector<Record>{};
}

void Sql(const std::filesystem::path& path, const char* sql) {
  sqlite3* db = nullptr;
  ASSERT_EQ(sqlite3_open(path.c_str(), &db), SQLITE_OK);
  EXPECT_EQ(sqlite3_exec(db, sql, nullptr, nullptr, nullptr), SQLITE_OK) << sqlite3_errmsg(db);
  sqlite3_close(db);
}

// One device of type 3514 with 64-byte blocks and serial AB0007, an image of 200 blocks whose
// name is hostile SQL, and a store in the bench's folder.
struct Bench {
  explicit Bench(std::vector<sim::FaultPlan> faults = {})
      : device(testing::StartDevice(testing::Unit(7, 0x3514), std::move(faults))) {}
  std::unique_ptr<testing::RunningProgram> Start(std::vector<std::string> args) const {
    args.insert(args.begin(), {LUMAFLASH_CLI_PATH, "flash", image.string(), "--port",
                               device->Path(), "--records", store.string(), "--json"});
    return std::make_unique<testing::RunningProgram>(args, dir.Path());
  }
  testing::TempDir dir;
  std::unique_ptr<sim::PtyDevice> device;
  std::vector<uint8_t> payload = sim::PatternPayload(12800, 3);
  std::filesystem::path image =
      dir.Write(std::string(kHostile) + ".bin", sim::BuildImageFile(2, 0x3514, payload));
  std::filesystem::path store = dir / "records.sqlite";
};

struct Ending {
  std::string name;
  std::vector<sim::FaultPlan> faults;
  int signal;    // SIGINT once 5 blocks are in; SIGKILL right after the JSON line
  int exitCode;  // not checked after SIGKILL: the run may have ended by itself
  std::string result;
  std::optional<int64_t> failedBlock;
};

class RecordPerEnding : public ::testing::TestWithParam<Ending> {};

// Each way an attempt ends leaves exactly one record with the attempt's facts.
TEST_P(RecordPerEnding, OneRecordWithItsFields) {
  const Ending& ending = GetParam();
  Bench bench(ending.faults);
  auto cli = bench.Start({"--station", "bench 7"});
  if (ending.signal != 0) {
    ASSERT_TRUE(ending.signal == SIGKILL ? cli->WaitForOutput("\"result\":\"ok\"") : WaitFor([&] {
      return bench.device->Snapshot().BlockCount() >= 5;
    }));
    cli->Signal(ending.signal);
  }
  const auto run = cli->Finish();
  EXPECT_TRUE(ending.signal == SIGKILL || run.exitCode == ending.exitCode)
      << run.exitCode << run.err;
  const std::vector<Record> found = ReadStore(bench.store);
  ASSERT_EQ(found.size(), 1u);
  const Record& record = found.front();
  EXPECT_TRUE(std::regex_match(
      record.id, std::regex("[0-9a-f]{8}-[0-9a-f]{4}-4[0-9a-f]{3}-[89ab][0-9a-f]{3}-[0-9a-f]{12}")))
      << record.id;
  EXPECT_EQ(record.result, ending.result);
  EXPECT_EQ(record.status.has_value(), ending.result != "ok");
  // An interruption names the block that was next, which depends on the signal's moment.
  const bool interrupted = ending.signal == SIGINT;
  EXPECT_EQ(record.failedBlock.has_value(), interrupted || ending.failedBlock.has_value());
  EXPECT_TRUE(interrupted || record.failedBlock == ending.failedBlock);
  EXPECT_EQ(record.blockCount, 200);
  EXPECT_EQ(record.station, "bench 7");
  EXPECT_FALSE(record.operatorName.empty());
  EXPECT_EQ(record.port, bench.device->Path());
  EXPECT_EQ(record.serial, "AB0007");
  EXPECT_EQ(record.deviceId, "3514");
  EXPECT_EQ(record.deviceName, "Lumetta A");
  EXPECT_EQ(record.imagePath, bench.image.string());
  EXPECT_EQ(record.imageSha256, platform::Sha256Hex(bench.payload));
  EXPECT_EQ(record.imageHeaderVersion, 2);
  EXPECT_EQ(record.imageLength, 12800);
  EXPECT_LE(record.startedAtMs, record.endedAtMs);
  EXPECT_GE(record.endedAtMs - record.startedAtMs, record.durationMs);
  EXPECT_TRUE(Has(run.out, "\"result\":\"" + ending.result + "\"")) << run.out;
}

const Ending kEndings[] = {
    {"ok", {}, 0, 0, "ok", std::nullopt},
    {"WriteFailed", {{sim::Fault::Silent, sim::PacketKind::Block, 16}}, 0, 9, "write-failed", 17},
    {"Interrupted", {}, SIGINT, 10, "interrupted", std::nullopt},
    // The record is on disk before the attempt's JSON line is printed: a kill right after that
    // line loses nothing.
    {"KilledRightAfterTheEndIsTold", {}, SIGKILL, 0, "ok", std::nullopt},
};
INSTANTIATE_TEST_SUITE_P(Endings, RecordPerEnding, ::testing::ValuesIn(kEndings),
                         [](const auto& row) { return row.param.name; });

struct BadStore {
  std::string name;
  std::function<void(std::filesystem::path&)> spoil;  // may name another place
  std::string message;                                // what the operator is told
};

class UnusableStore : public ::testing::TestWithParam<BadStore> {};

// A store that cannot be used never stops an update, and the operator is told where the
// attempt still is. With --require-record nothing is sent and the exit is 12.
TEST_P(UnusableStore, UpdateGoesOnUnlessARecordIsRequired) {
  const BadStore& bad = GetParam();
  for (const bool required : {false, true}) {
    SCOPED_TRACE(required ? "--require-record" : "plain");
    Bench bench;
    bad.spoil(bench.store);
    const std::string before = testing::ReadWholeFile(bench.store);
    auto run =
        bench.Start(std::vector<std::string>(required ? 1 : 0, "--require-record"))->Finish();
    EXPECT_TRUE(std::regex_search(run.err, std::regex(bad.message))) << run.err;
    EXPECT_EQ(run.exitCode, required ? 12 : 0) << run.err;
    EXPECT_EQ(StartPackets(bench.device->Snapshot()), required ? 0 : 1);
    EXPECT_EQ(Has(run.err, "was not kept") && Has(run.err, "JSON line follows"), !required)
        << run.err;
    // Reading it is refused too, and neither run changed a byte of it.
    const auto read = testing::RunProgram({LUMAFLASH_CLI_PATH, "records", "--records", bench.store},
                                          bench.dir.Path());
    EXPECT_EQ(read.exitCode, 1) << read.err;
    EXPECT_TRUE(Has(read.err, bench.store.string())) << read.err;
    EXPECT_EQ(testing::ReadWholeFile(bench.store), before);
  }
}

const BadStore kStores[] = {
    {"Corrupt", [](auto& path) { std::ofstream(path) << "this is no database, only text\n"; },
     "not an intact record store"},
    {"NewerSchema", [](auto& path) { Sql(path, "PRAGMA user_version = 7"); },
     "schema version 7, but this Lumaflash knows versions up to 2: update Lumaflash"},
    {"Directory", [](auto& path) { std::filesystem::create_directory(path); }, "cannot be opened"},
    {"MissingFolder", [](auto& path) { path = path.parent_path() / "gone" / "records.sqlite"; },
     "cannot be opened"},
};
INSTANTIATE_TEST_SUITE_P(Stores, UnusableStore, ::testing::ValuesIn(kStores),
                         [](const auto& row) { return row.param.name; });

// A store that another program holds past the lock's time-out loses this attempt's record:
// with --require-record the run says so, still prints the JSON line, and ends with exit 12.
TEST(Records, StoreLockedAtTheCommitEndsARequiredRunWith12) {
  Bench bench;
  auto cli = bench.Start({"--require-record"});
  ASSERT_TRUE(WaitFor([&] { return bench.device->Snapshot().BlockCount() >= 5; }));
  sqlite3* holder = nullptr;
  ASSERT_EQ(sqlite3_open(bench.store.c_str(), &holder), SQLITE_OK);
  ASSERT_EQ(sqlite3_exec(holder, "BEGIN EXCLUSIVE", nullptr, nullptr, nullptr), SQLITE_OK);
  const auto run = cli->Finish();
  sqlite3_exec(holder, "ROLLBACK", nullptr, nullptr, nullptr);
  sqlite3_close(holder);
  EXPECT_EQ(run.exitCode, 12) << run.err;
  EXPECT_TRUE(Has(run.err, "was not kept") && Has(run.err, "database is locked")) << run.err;
  EXPECT_TRUE(Has(run.out, "\"result\":\"ok\"")) << run.out;
  EXPECT_TRUE(ReadStore(bench.store).empty());
}

constexpr int64_t kDay = 20'000LL * 86'400'000;  // 2024-10-04T00:00Z

Record Attempt(const std::string& unit, int64_t startedAtMs, const std::string& result,
               const std::string& deviceId = "3514") {
  Record record;
  record.id = records::NewRecordId(startedAtMs).value_or("");
  record.serial = unit;
  record.deviceId = deviceId;
  record.startedAtMs = startedAtMs;
  record.result = result;
  return record;
}

// Values are bound, never spliced into SQL: hostile text goes in and comes back exactly, by the
// store's own questions and by the command's.
TEST(Records, HostileTextIsStoredAndReadBackExactly) {
  Bench bench;
  ASSERT_EQ(bench.Start({})->Finish().exitCode, 0);
  auto store = RecordStore::Open(bench.store, RecordStore::Mode::Write);
  ASSERT_TRUE(store) << records::Describe(store.error());
  Record hostile = Attempt(kHostile, 0, kHostile);
  hostile.imagePath = kHostile;
  ASSERT_TRUE((*store)->Commit(hostile));
  records::RecordFilter bySerial;
  bySerial.serial = kHostile;
  auto found = (*store)->Find(bySerial);
  ASSERT_TRUE(found);
  ASSERT_EQ(found->size(), 1u);
  EXPECT_EQ(found->front().imagePath, kHostile);
  const auto asked =
      testing::RunProgram({LUMAFLASH_CLI_PATH, "records", "--records", bench.store.string(),
                           "--image", bench.image.string(), "--json"},
                          bench.dir.Path());
  EXPECT_EQ(asked.exitCode, 0) << asked.err;
  EXPECT_TRUE(Has(asked.out, R"("image":")" + bench.image.string() + "\"")) << asked.out;
  EXPECT_EQ(std::count(asked.out.begin(), asked.out.end(), '\n'), 1) << asked.out;
  EXPECT_EQ(ReadStore(bench.store).size(), 2u);
}

// The questions of `records`: each filter keeps exactly its records (both ends of a date range
// are whole days), newest first, in every format.
TEST(Records, QuestionsKeepExactlyTheirRecords) {
  testing::TempDir dir;
  const auto path = dir / "records.sqlite";
  std::vector<Record> kept{Attempt("0A1B2C01", kDay - 1, "ok"), Attempt("0A1B2C01", kDay, "ok"),
                           Attempt("0A1B2C02", kDay + 86'399'999, "write-failed"),
                           Attempt("0A1B2C03", kDay + 86'400'000, "ok")};
  kept[1].imageSha256 = std::string(64, 'a');
  kept[2].station = "north";
  {
    auto store = RecordStore::Open(path, RecordStore::Mode::Write);
    ASSERT_TRUE(store) << records::Describe(store.error());
    for (const Record& record : kept) {
      ASSERT_TRUE((*store)->Commit(record));
    }
  }
  struct Row {
    std::vector<std::string> args;
    std::vector<std::size_t> expected;  // indexes into `kept`, newest first
  };
  const Row rows[] = {
      {{}, {3, 2, 1, 0}},
      {{"--since", "2024-10-04", "--until", "2024-10-04"}, {2, 1}},
      {{"--serial", "0a 1b 2c 01"}, {1, 0}},
      {{"--result", "write-failed"}, {2}},
      {{"--station", "north"}, {2}},
      {{"--image", std::string(64, 'A')}, {1}},
  };
  for (const Row& row : rows) {
    std::vector<std::string> argv{LUMAFLASH_CLI_PATH, "records", "--records", path.string(),
                                  "--json"};
    argv.insert(argv.end(), row.args.begin(), row.args.end());
    const auto asked = testing::RunProgram(argv, dir.Path());
    std::string expected;
    for (std::size_t index : row.expected) {
      expected += "{\"id\":\"" + kept[index].id + "\"";
    }
    std::string got;
    for (std::size_t at = 0; (at = asked.out.find("{\"id\":\"", at)) != std::string::npos;
         at += 7) {
      got += asked.out.substr(at, 44);
    }
    EXPECT_EQ(got, expected) << row.args.size() << " " << asked.err;
  }
  const auto csv = testing::RunProgram(
      {LUMAFLASH_CLI_PATH, "records", "--records", path.string(), "--csv"}, dir.Path());
  EXPECT_EQ(std::count(csv.out.begin(), csv.out.end(), '\n'), 5) << csv.out;
  EXPECT_EQ(csv.out.rfind("id,startedAt,endedAt,station,operator,version,port,", 0), 0u);
}

// Per day and type: a unit that needed two tries counts as updated but not as first pass; a
// unit that never succeeded is a failure only; the next day starts afresh.
TEST(Records, SummaryCountsFirstPassPerDayAndType) {
  const auto rows = records::Summarize({
      Attempt("A", kDay + 3, "ok"),
      Attempt("B", kDay + 1, "write-failed"),
      Attempt("B", kDay + 2, "ok"),
      Attempt("C", kDay + 4, "interrupted"),
      Attempt("D", kDay + 5, "ok", "3611"),
      Attempt("B", kDay + 86'400'000, "ok"),
  });
  ASSERT_EQ(rows.size(), 3u);
  EXPECT_EQ(rows[0].day, "2024-10-05");
  EXPECT_EQ(rows[0].firstPassUnits, 1);
  const records::SummaryRow& first = rows[1];
  EXPECT_EQ(first.day, "2024-10-04");
  EXPECT_EQ(first.deviceId, "3514");
  EXPECT_EQ(first.attempts, 4);
  EXPECT_EQ(first.unitsUpdated, 2);
  EXPECT_EQ(first.failures, 2);
  EXPECT_EQ(first.unitsAttempted, 3);
  EXPECT_EQ(first.firstPassUnits, 1);
  EXPECT_EQ(rows[2].deviceId, "3611");
  EXPECT_EQ(records::IsoUtc(kDay + 45'296'789), "2024-10-04T12:34:56.789Z");
}

// The one list of a record's fields is what the server's table and the documented JSON keys say,
// in the same order: a field added to one and not the others fails here.
TEST(Records, FieldListMatchesTheServerTableAndTheDocumentedKeys) {
  const std::string sql = testing::ReadWholeFile(LUMAFLASH_SOURCE_DIR "/docs/records.sql");
  const std::size_t table = sql.find("CREATE TABLE records (");
  ASSERT_NE(table, std::string::npos);
  std::size_t at = table;
  std::string keys;
  for (const records::RecordField& field : records::kRecordFields) {
    const std::string column = std::string(field.column) + " " + std::string(field.serverType);
    at = sql.find(column, at);
    EXPECT_LT(at, sql.find(");", table)) << column << " is not in the server's records table";
    keys += (keys.empty() ? "" : ", ") + std::string(field.key);
  }
  const std::string readme = testing::ReadWholeFile(LUMAFLASH_SOURCE_DIR "/README.md");
  const std::string lead = "one object per record and line, with the keys `";
  const std::size_t listed = readme.find(lead);
  ASSERT_NE(listed, std::string::npos);
  std::string documented = readme.substr(listed + lead.size());
  documented =
      std::regex_replace(documented.substr(0, documented.find('`')), std::regex("\\s+"), " ");
  EXPECT_EQ(documented, keys);
}

}  // namespace
}  // namespace lumaflash
