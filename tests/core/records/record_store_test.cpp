// The station's record store in a real SQLite file, through the programs that share it: stores
// opened by many programs at once, readers without the right to write, ids that are never
// dropped, hostile text, and the one list of a record's fields.
#include <gtest/gtest.h>
#include <sqlite3.h>
#include <unistd.h>

#include <algorithm>
#include <regex>
#include <string>
#include <vector>

#include "core/records/record_fields.h"
#include "core/records/record_store.h"
#include "tests/support/read_file.h"
#include "tests/support/record_bench.h"

namespace lumaflash {
namespace {

using records::Record;
using records::RecordStore;
using testing::Ask;
using testing::Bench;
using testing::Has;
using testing::kHostile;
using testing::ReadStore;
using testing::Sql;

// Any number of programs may open a store that does not exist yet and bring it to the current
// layout at once: eight updates that each require their record, ten times over.
TEST(Records, EightRunsOpenANewStoreAtOnce) {
  testing::TempDir dir;
  std::vector<std::unique_ptr<sim::PtyDevice>> devices;
  for (uint8_t unit = 1; unit <= 8; ++unit) {
    devices.push_back(testing::StartDevice(testing::Unit(unit, 0x3611, true)));
  }
  const auto image =
      dir.Write("one.bin", sim::BuildImageFile(1, 0x3611, sim::PatternPayload(64, 1)));
  for (int trial = 0; trial < 10; ++trial) {
    const auto store = dir / ("trial" + std::to_string(trial) + ".sqlite");
    std::vector<std::unique_ptr<testing::RunningProgram>> runs;
    for (const auto& device : devices) {
      runs.push_back(std::make_unique<testing::RunningProgram>(
          std::vector<std::string>{LUMAFLASH_CLI_PATH, "flash", image.string(), "--port",
                                   device->Path(), "--records", store.string(), "--require-record"},
          dir.Path()));
    }
    for (const auto& run : runs) {
      const auto result = run->Finish();
      EXPECT_EQ(result.exitCode, 0) << "trial " << trial << ": " << result.err;
    }
    EXPECT_EQ(ReadStore(store).size(), 8u) << "trial " << trial;
  }
}

// The layout of the first Lumaflash that kept records, as a store it left behind holds it.
constexpr const char* kFirstLayout =
    "CREATE TABLE records (id TEXT PRIMARY KEY, started_at INTEGER NOT NULL, ended_at INTEGER NOT "
    "NULL, station TEXT NOT NULL, operator TEXT NOT NULL, program_version TEXT NOT NULL, port "
    "TEXT NOT NULL, usb_vid TEXT, usb_pid TEXT, usb_serial TEXT, device_id TEXT, device_name "
    "TEXT, bootloader_version TEXT, firmware_version TEXT, serial TEXT, image_path TEXT, "
    "image_sha256 TEXT, image_header_version INTEGER, image_length INTEGER, result TEXT NOT NULL, "
    "status TEXT, failed_block INTEGER, block_count INTEGER, duration_ms INTEGER NOT NULL, "
    "forwarded INTEGER NOT NULL DEFAULT 0); PRAGMA journal_mode=WAL; PRAGMA user_version = 1; "
    "INSERT INTO records VALUES ('old', 1, 2, 's', 'o', '1.2', 'p', NULL, NULL, NULL, '3514', "
    "NULL, NULL, NULL, 'AB0001', NULL, NULL, NULL, NULL, 'ok', NULL, NULL, NULL, 1, 0)";

// `records` as another user, who may read the store but not write its folder.
testing::ProgramResult AskAsAnotherUser(const std::filesystem::path& store) {
  std::filesystem::permissions(store.parent_path(), std::filesystem::perms::owner_all |
                                                        std::filesystem::perms::group_read |
                                                        std::filesystem::perms::group_exec |
                                                        std::filesystem::perms::others_read |
                                                        std::filesystem::perms::others_exec);
  std::vector<std::string> argv{LUMAFLASH_CLI_PATH, "records", "--records", store.string(),
                                "--json"};
  if (::geteuid() == 0) {
    argv.insert(argv.begin(),
                {"/usr/bin/setpriv", "--reuid=nobody", "--regid=nogroup", "--clear-groups"});
  }
  return testing::RunProgram(argv, "/");
}

// A reader changes nothing and needs no right to write: a store an older Lumaflash left is read
// as it is and brought forward by the next update; a user who may read a store but not write its
// folder gets its records, or, while records wait in its -wal file, the exact way out.
TEST(Records, ReadersNeedNoRightToWrite) {
  Bench bench;
  Sql(bench.store, kFirstLayout);
  EXPECT_TRUE(Has(Ask(bench.store, bench.dir.Path()).out, R"("id":"old")"));
  ASSERT_EQ(bench.Start({})->Finish().exitCode, 0);
  EXPECT_EQ(ReadStore(bench.store).size(), 2u);
  const auto read = AskAsAnotherUser(bench.store);
  EXPECT_EQ(std::count(read.out.begin(), read.out.end(), '\n'), 2) << read.err;
  // A writer that still holds the store keeps a record in its -wal file; a copy of both, without
  // the -shm file that SQLite would have to add beside them, cannot be read in that folder.
  sqlite3* writer = nullptr;
  ASSERT_EQ(sqlite3_open(bench.store.c_str(), &writer), SQLITE_OK);
  ASSERT_EQ(sqlite3_exec(writer, "PRAGMA wal_autocheckpoint=0; UPDATE records SET port = 'q'",
                         nullptr, nullptr, nullptr),
            SQLITE_OK);
  std::filesystem::create_directory(bench.dir / "copy");
  for (const char* suffix : {"", "-wal"}) {
    std::filesystem::copy_file(bench.store.string() + suffix,
                               (bench.dir / "copy" / "records.sqlite").string() + suffix);
  }
  sqlite3_close(writer);
  const auto stuck = AskAsAnotherUser(bench.dir / "copy" / "records.sqlite");
  EXPECT_EQ(stuck.exitCode, 1);
  EXPECT_TRUE(Has(stuck.err, "records.sqlite-wal holds records not yet moved into it") &&
              Has(stuck.err, "into a folder of yours"))
      << stuck.err;
}

// Values are bound, never spliced into SQL: hostile text goes in and comes back exactly, by the
// store's own questions and by the command's.
TEST(Records, HostileTextIsStoredAndReadBackExactly) {
  Bench bench;
  ASSERT_EQ(bench.Start({})->Finish().exitCode, 0);
  auto store = RecordStore::Open(bench.store, RecordStore::Mode::Write);
  ASSERT_TRUE(store) << records::Describe(store.error());
  Record hostile = testing::AttemptRecord(kHostile, 0, kHostile);
  hostile.imagePath = kHostile;
  ASSERT_TRUE((*store)->Commit(hostile));
  // A second record with the same id is refused, never dropped quietly.
  const auto twice = (*store)->Commit(hostile);
  EXPECT_TRUE(!twice && Has(records::Describe(twice.error()),
                            "already holds a record with the id " + hostile.id));
  records::RecordFilter bySerial;
  bySerial.serial = kHostile;
  const std::vector<Record> found = ReadStore(bench.store, bySerial);
  ASSERT_EQ(found.size(), 1u);
  EXPECT_EQ(found.front().imagePath, kHostile);
  const auto asked =
      testing::RunProgram({LUMAFLASH_CLI_PATH, "records", "--records", bench.store.string(),
                           "--image", bench.image.string(), "--json"},
                          bench.dir.Path());
  EXPECT_EQ(asked.exitCode, 0) << asked.err;
  EXPECT_TRUE(Has(asked.out, R"("image":")" + bench.image.string() + "\"")) << asked.out;
  EXPECT_EQ(std::count(asked.out.begin(), asked.out.end(), '\n'), 1) << asked.out;
  EXPECT_EQ(ReadStore(bench.store).size(), 2u);
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
