#pragma once

// What the tests of the station's records share: a device, an image and a store in a folder of
// their own, and ways to look into a store.
#include <gtest/gtest.h>
#include <sqlite3.h>

#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "core/records/questions.h"
#include "core/records/record_store.h"
#include "sim/image_file.h"
#include "sim/pty_host.h"
#include "tests/support/run_program.h"
#include "tests/support/sim_devices.h"
#include "tests/support/temp_dir.h"

namespace lumaflash::testing {

inline constexpr const char* kHostile = "'); DROP TABLE records; --";

// The records of the store that pass `filter`, newest first, or a failed expectation.
inline std::vector<records::Record> ReadStore(const std::filesystem::path& path,
                                              const records::RecordFilter& filter = {}) {
  auto store = records::LocalQuestions(path);
  EXPECT_TRUE(store) << records::Describe(store.error());
  std::vector<records::Record> found;
  if (store) {
    auto listed = (*store)->List(filter, 0, 0, [&found](const records::Record& record) {
      found.push_back(record);
      return true;
    });
    EXPECT_TRUE(listed) << records::Describe(listed.error());
  }
  return found;
}

// An attempt's record with what the questions look at: its unit, start and result (type 3514).
inline records::Record AttemptRecord(const std::string& unit, int64_t startedAtMs,
                                     const std::string& result) {
  records::Record record;
  record.id = records::NewRecordId(startedAtMs).value_or("");
  record.serial = unit;
  record.deviceId = "3514";
  record.startedAtMs = startedAtMs;
  record.result = result;
  return record;
}

inline void Sql(const std::filesystem::path& path, const char* sql) {
  sqlite3* db = nullptr;
  ASSERT_EQ(sqlite3_open(path.c_str(), &db), SQLITE_OK);
  EXPECT_EQ(sqlite3_exec(db, sql, nullptr, nullptr, nullptr), SQLITE_OK) << sqlite3_errmsg(db);
  sqlite3_close(db);
}

// One device of type 3514 with 64-byte blocks and serial AB0007, an image of 200 blocks whose
// name is hostile SQL, and a store in the bench's folder.
struct Bench {
  explicit Bench(std::vector<sim::FaultPlan> faults = {})
      : device(StartDevice(Unit(7, 0x3514), std::move(faults))) {}
  std::vector<std::string> Args(std::vector<std::string> more,
                                const std::filesystem::path& at = {}) const {
    more.insert(more.begin(), {LUMAFLASH_CLI_PATH, "flash", image.string(), "--port",
                               device->Path(), "--records", (at.empty() ? store : at).string()});
    return more;
  }
  std::unique_ptr<RunningProgram> Start(std::vector<std::string> more) const {
    return std::make_unique<RunningProgram>(Args(std::move(more)), dir.Path());
  }
  TempDir dir;
  std::unique_ptr<sim::PtyDevice> device;
  std::vector<uint8_t> payload = sim::PatternPayload(12800, 3);
  std::filesystem::path image =
      dir.Write(std::string(kHostile) + ".bin", sim::BuildImageFile(2, 0x3514, payload));
  std::filesystem::path store = dir / "records.sqlite";
};

// `lumaflash-cli records --json` over the store.
inline ProgramResult Ask(const std::filesystem::path& store, const std::filesystem::path& dir) {
  return RunProgram({LUMAFLASH_CLI_PATH, "records", "--records", store.string(), "--json"}, dir);
}

}  // namespace lumaflash::testing
