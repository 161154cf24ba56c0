// lumaflash-cli records over a real store: which records each question keeps, in which order,
// and the tables and formats it prints them in.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <utility>
#include <vector>

#include "core/records/record_store.h"
#include "tests/support/record_bench.h"

namespace lumaflash {
namespace {

using records::Record;
using records::RecordStore;
using testing::AttemptRecord;

constexpr int64_t kDay = 20'000LL * 86'400'000;  // 2024-10-04T00:00Z

// The questions of `records`: each filter keeps exactly its records (both ends of a date range
// are whole days), newest first, in every format.
TEST(RecordsCommand, QuestionsKeepExactlyTheirRecords) {
  testing::TempDir dir;
  const auto path = dir / "records.sqlite";
  std::vector<Record> kept{AttemptRecord("0A1B2C01", kDay - 1, "ok"),
                           AttemptRecord("0A1B2C01", kDay, "ok"),
                           AttemptRecord("0A1B2C02", kDay + 86'399'999, "write-failed"),
                           AttemptRecord("0A1B2C03", kDay + 86'400'000, "ok")};
  kept[1].imageSha256 = std::string(64, 'a');
  kept[2].station = "north\x1b[2J";
  {
    auto store = RecordStore::Open(path, RecordStore::Mode::Write);
    ASSERT_TRUE(store) << records::Describe(store.error());
    ASSERT_TRUE((*store)->CommitAll(kept));
  }
  struct Row {
    std::vector<std::string> args;
    std::vector<std::size_t> expected;  // indexes into `kept`, newest first
  };
  const Row rows[] = {
      {{}, {3, 2, 1, 0}},
      {{"--since", "2024-10-04", "--until", "2024-10-04", "--tz", "UTC"}, {2, 1}},
      // The factory's day at UTC+8 runs from 16:00Z the day before.
      {{"--since", "2024-10-05", "--tz", "Asia/Shanghai"}, {3, 2}},
      {{"--since", "2024-10-04T00:00:00.000Z", "--until", "2024-10-04T23:59:59.999Z"}, {1}},
      {{"--serial", "0a 1b 2c 01"}, {1, 0}},
      {{"--result", "write-failed"}, {2}},
      {{"--result", "not-ok"}, {2}},
      {{"--station", "north\x1b[2J"}, {2}},
      {{"--image", std::string(64, 'A')}, {1}},
      {{"--limit", "2"}, {3, 2}},
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
  // The tables as printed: a unit's second success on the 4th is rework (its first pass was on
  // the 3rd), and text from a station or device cannot reach the terminal as a control code.
  const std::pair<std::vector<std::string>, std::string> printed[] = {
      {{"--summary", "--tz", "UTC"},
       "DAY         DEVICE TYPE             ATTEMPTS NOT STARTED  UNITS  UPDATED  REWORK FAILURES"
       "  FIRST-PASS YIELD\n"
       "2024-10-05  3514 Unknown device            1           0      1        1       0        0"
       "  100.0% (1 of 1 units)\n"
       "2024-10-04  3514 Unknown device            2           0      1        0       1        1"
       "  0.0% (0 of 1 units)\n"
       "2024-10-03  3514 Unknown device            1           0      1        1       0        0"
       "  100.0% (1 of 1 units)\n"},
      {{"--summary", "--by", "station", "--json"},
       "{\"station\":\"\",\"attempts\":3,\"notStarted\":0,\"unitsAttempted\":2,"
       "\"unitsUpdated\":2,\"firstPassUnits\":2,\"reworkAttempts\":1,\"failures\":0,"
       "\"serialLessAttempts\":0}\n"
       "{\"station\":\"north\\u001b[2J\",\"attempts\":1,\"notStarted\":0,\"unitsAttempted\":1,"
       "\"unitsUpdated\":0,\"firstPassUnits\":0,\"reworkAttempts\":0,\"failures\":1,"
       "\"serialLessAttempts\":0}\n"},
      {{"--stations", "--tz", "UTC"},
       "STATION          LAST RECORD               LAST RECEIVED (SERVER)     WAITING  WAITING "
       "SINCE\n"
       "                 2024-10-05T00:00:00+00:00 -                                3  "
       "2024-10-03T23:59:59+00:00\n"
       "north\\x1b[2J     2024-10-04T23:59:59+00:00 -                                1  "
       "2024-10-04T23:59:59+00:00\n"},
  };
  for (const auto& [args, text] : printed) {
    std::vector<std::string> argv{LUMAFLASH_CLI_PATH, "records", "--records", path.string()};
    argv.insert(argv.end(), args.begin(), args.end());
    const auto asked = testing::RunProgram(argv, dir.Path());
    EXPECT_EQ(asked.out, text) << asked.err;
  }
}

}  // namespace
}  // namespace lumaflash
