// The questions of a line's records, answered by the database: small hand-checked data sets
// with their summary rows written out, each asked of the station's store (a real SQLite file)
// and of the factory's server (the real PostgreSQL of scripts/with_postgres.sh, filled by the
// real forwarding; those rows are skipped without one).
#include <gtest/gtest.h>
#if __has_include(<libpq-fe.h>)
#include <libpq-fe.h>
#endif

#include <algorithm>
#include <cstdlib>
#include <ostream>
#include <string>
#include <tuple>
#include <vector>

#include "core/platform/time_zone.h"
#include "core/records/questions.h"
#include "core/records/record_store.h"
#include "core/records/server.h"
#include "tests/support/temp_dir.h"

namespace lumaflash::records {
namespace {

using platform::TimeZone;

int64_t Ms(const char* iso) {
  return platform::CivilTimeToUtcMs(*platform::ParseCivilTime(iso), TimeZone::Utc(), false);
}

struct Attempt {
  const char* serial;  // "": the device reported none
  const char* at;
  const char* result;
  std::optional<int64_t> failedBlock;
  const char* station;
  const char* type = "3514";
};

Record RecordOf(const Attempt& attempt) {
  Record record;
  record.startedAtMs = Ms(attempt.at);
  record.id = NewRecordId(record.startedAtMs).value_or("");
  record.endedAtMs = record.startedAtMs + 1000;
  record.station = attempt.station;
  record.operatorName = "operator";
  record.programVersion = "test";
  record.port = "/dev/ttyACM0";
  if (*attempt.serial != '\0') {
    record.serial = attempt.serial;
  }
  record.deviceId = attempt.type;
  record.deviceName = std::string(attempt.type) == "3514" ? "Lumetta A" : "Lumetta B";
  record.imageSha256 = std::string(64, std::string(attempt.type) == "3514" ? 'a' : 'b');
  record.result = attempt.result;
  record.failedBlock = attempt.failedBlock;
  record.blockCount = 64;
  record.durationMs = 1000;
  return record;
}

// A unit fails at 23:59:50Z and passes its retry at 00:00:10Z, mid-shift in a factory at
// UTC+8; another unit passes at once in the afternoon before.
const std::vector<Attempt> kMidnight{
    {"A1", "2024-10-04T23:59:50Z", "write-failed", 17, "east"},
    {"A1", "2024-10-05T00:00:10Z", "ok", std::nullopt, "east"},
    {"B1", "2024-10-04T10:00:00Z", "ok", std::nullopt, "east"},
};

// Two stations: a unit refused once (wrong device), failed, then passed; one whose first try
// was interrupted before anything was sent; one flashed twice although the first try passed;
// units without a serial number (one never started); a unit failed at one station and passed
// at the other; attempts still running, or whose program died.
const std::vector<Attempt> kLine{
    {"C1", "2024-11-04T08:00:00Z", "wrong-device", std::nullopt, "north"},
    {"C1", "2024-11-04T08:01:00Z", "write-failed", 3, "north"},
    {"C1", "2024-11-04T08:02:00Z", "ok", std::nullopt, "north"},
    {"D1", "2024-11-04T09:00:00Z", "interrupted", 0, "south"},
    {"D1", "2024-11-04T09:01:00Z", "ok", std::nullopt, "south"},
    {"E1", "2024-11-04T10:00:00Z", "ok", std::nullopt, "south", "3409"},
    {"E1", "2024-11-04T10:05:00Z", "ok", std::nullopt, "south", "3409"},
    {"", "2024-11-04T11:00:00Z", "ok", std::nullopt, "north"},
    {"", "2024-11-04T11:01:00Z", "write-failed", 5, "north"},
    {"", "2024-11-04T11:02:00Z", "port-open-failed", std::nullopt, "south"},
    {"F1", "2024-11-04T12:00:00Z", "write-failed", 3, "north"},
    {"F1", "2024-11-04T12:05:00Z", "ok", std::nullopt, "south"},
    {"G1", "2024-11-04T13:00:00Z", "unfinished", std::nullopt, "north"},
    {"H1", "2024-11-04T13:30:00Z", "unfinished", 9, "south"},
};

struct DataSet {
  const char* name;
  const std::vector<Attempt>* attempts;
  std::vector<GroupBy> by;
  const char* timeZone;
  const char* since;  // the window's start; nothing: the data set's whole span
  // "DAY STATION TYPE IMAGE: attempts notStarted units updated firstPass failures rework
  // serialLess", the parts not grouped by left out.
  std::vector<std::string> rows;
};

const DataSet kDataSets[] = {
    // In the factory's own day the retry is rework of a unit first tried that day.
    {"MidnightInUtcPlus8",
     &kMidnight,
     {GroupBy::Day},
     "Asia/Shanghai",
     nullptr,
     {"2024-10-05: 2 0 1 1 0 1 1 0", "2024-10-04: 1 0 1 1 1 0 0 0"}},
    // Over UTC days the unit is still first tried on the 4th: the 5th has rework, no new unit.
    {"MidnightInUtc",
     &kMidnight,
     {GroupBy::Day},
     "UTC",
     nullptr,
     {"2024-10-05: 1 0 0 1 0 0 1 0", "2024-10-04: 2 0 2 1 1 1 0 0"}},
    // A window that starts after the failure sees the retry as the unit's first attempt.
    {"WindowStartsAfterTheFailure",
     &kMidnight,
     {GroupBy::Day},
     "UTC",
     "2024-10-05T00:00:00Z",
     {"2024-10-05: 1 0 1 1 1 0 0 0"}},
    {"TwoStations",
     &kLine,
     {GroupBy::Station},
     "UTC",
     nullptr,
     {"north: 7 1 5 2 1 4 1 2", "south: 7 2 3 3 2 1 2 0"}},
    {"DayAndType",
     &kLine,
     {},
     "UTC",
     nullptr,
     {"2024-11-04 3409: 2 0 1 1 1 0 1 0", "2024-11-04 3514: 12 3 7 4 2 5 2 2"}},
    {"StationAndImage",
     &kLine,
     {GroupBy::Image, GroupBy::Station},
     "Europe/Berlin",
     nullptr,
     {"north aaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaa: 7 1 5 2 1 4 1 2",
      "south aaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaa: 5 2 2 2 1 1 1 0",
      "south bbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbb: 2 0 1 1 1 0 1 0"}},
};

void PrintTo(const DataSet& set, std::ostream* out) {
  *out << set.name;
}

std::string RowText(const SummaryRow& row) {
  std::string text;
  for (const std::string* part : {&row.day, &row.station, &row.deviceId, &row.imageSha256}) {
    text += part->empty() ? "" : (text.empty() ? "" : " ") + *part;
  }
  text += ":";
  for (const int64_t count :
       {row.attempts, row.notStarted, row.unitsAttempted, row.unitsUpdated, row.firstPassUnits,
        row.failures, row.reworkAttempts, row.serialLessAttempts}) {
    text += " " + std::to_string(count);
  }
  return text;
}

enum class Where { Local, Server };

void PrintTo(Where where, std::ostream* out) {
  *out << (where == Where::Local ? "the station's store" : "the server");
}

// A data set's window: from a day before its first attempt to a day after its last.
RecordFilter WindowOf(const DataSet& set) {
  RecordFilter window;
  for (const Attempt& attempt : *set.attempts) {
    const int64_t at = Ms(attempt.at);
    window.sinceMs = std::min(window.sinceMs.value_or(at), at - 86'400'000);
    window.untilMs = std::max(window.untilMs.value_or(at), at + 86'400'000);
  }
  return window;
}

const char* Env(const char* name) {
  const char* value = std::getenv(name);
  return value != nullptr && *value != '\0' ? value : nullptr;
}

// Empties the data set's window on the server, so that a second run finds it as the first.
void ClearServerWindow(const RecordFilter& window) {
#if __has_include(<libpq-fe.h>)
  PGconn* admin = PQconnectdb(Env("LUMAFLASH_PG_ADMIN"));
  const std::string since = IsoUtc(*window.sinceMs);
  const std::string until = IsoUtc(*window.untilMs);
  const char* values[] = {since.c_str(), until.c_str()};
  PGresult* result =
      PQexecParams(admin, "DELETE FROM records WHERE started_at >= $1 AND started_at < $2", 2,
                   nullptr, values, nullptr, nullptr, 0);
  EXPECT_EQ(PQresultStatus(result), PGRES_COMMAND_OK) << PQerrorMessage(admin);
  PQclear(result);
  PQfinish(admin);
#else
  ADD_FAILURE() << "built without libpq; " << window.sinceMs.value_or(0);
#endif
}

class StoreFixture {
 protected:
  // The data set in a store of its own, and on the server when asked of it; the questions.
  std::unique_ptr<RecordQuestions> Load(const DataSet& set, Where where) {
    const bool server = where == Where::Server;
    if (server && (!Env("LUMAFLASH_PG_STATION_URI") || !Env("LUMAFLASH_PG_READER_URI") ||
                   !Env("LUMAFLASH_PG_ADMIN"))) {
      return nullptr;
    }
    std::vector<Record> records;
    for (const Attempt& attempt : *set.attempts) {
      records.push_back(RecordOf(attempt));
    }
    auto store = RecordStore::Open(m_dir / "records.sqlite", RecordStore::Mode::Write);
    EXPECT_TRUE(store && (*store)->CommitAll(records));
    if (server) {
      ClearServerWindow(WindowOf(set));
      const ForwardReport report =
          ServerLink(Env("LUMAFLASH_PG_STATION_URI")).Forward(**store, WaitLimit());
      EXPECT_FALSE(report.failure) << report.failure->message;
      EXPECT_EQ(report.sent, records.size());
    }
    auto questions = server ? ServerQuestions(Env("LUMAFLASH_PG_READER_URI"))
                            : LocalQuestions(m_dir / "records.sqlite");
    EXPECT_TRUE(questions) << Describe(questions.error());
    return questions ? std::move(*questions) : nullptr;
  }
  testing::TempDir m_dir;
};

class Questions : public ::testing::TestWithParam<std::tuple<DataSet, Where>>,
                  protected StoreFixture {};

TEST_P(Questions, SummaryRowsAsCheckedByHand) {
  const auto& [set, where] = GetParam();
  auto questions = Load(set, where);
  if (!questions) {
    GTEST_SKIP() << "no records server: run through scripts/with_postgres.sh";
  }
  SummaryQuery query{WindowOf(set), set.by, set.timeZone};
  if (set.since != nullptr) {
    query.filter.sinceMs = Ms(set.since);
  }
  const auto rows = questions->Summary(query);
  ASSERT_TRUE(rows) << Describe(rows.error());
  std::vector<std::string> texts;
  for (const SummaryRow& row : *rows) {
    texts.push_back(RowText(row));
  }
  EXPECT_EQ(texts, set.rows);
  // The listing: newest first, after an offset, up to a limit; the server's receipt on each
  // record read from it.
  std::vector<int64_t> listed;
  ASSERT_TRUE(questions->List(WindowOf(set), 2, 1, [&](const Record& record) {
    listed.push_back(record.startedAtMs);
    EXPECT_EQ(record.receivedAtMs.has_value(), where == Where::Server);
    return true;
  }));
  const std::vector<Attempt>& attempts = *set.attempts;
  std::vector<int64_t> times;
  for (const Attempt& attempt : attempts) {
    times.push_back(Ms(attempt.at));
  }
  std::sort(times.rbegin(), times.rend());
  EXPECT_EQ(listed, std::vector<int64_t>(times.begin() + 1, times.begin() + 3));
}

// Failures by type, result and block, and each station's last record as the store or the
// server has it.
class LineQuestions : public ::testing::TestWithParam<Where>, protected StoreFixture {};

TEST_P(LineQuestions, FailuresStationsAndChanges) {
  const Where where = GetParam();
  const DataSet set{"Line", &kLine, {}, "UTC", nullptr, {}};
  auto questions = Load(set, where);
  if (!questions) {
    GTEST_SKIP() << "no records server: run through scripts/with_postgres.sh";
  }
  const auto failures = questions->Failures(WindowOf(set));
  ASSERT_TRUE(failures) << Describe(failures.error());
  std::vector<std::string> texts;
  for (const FailureRow& row : *failures) {
    texts.push_back(row.deviceId + " " + row.result + " " +
                    (row.failedBlock ? std::to_string(*row.failedBlock) : "-") + " " +
                    std::to_string(row.count));
  }
  EXPECT_EQ(texts, (std::vector<std::string>{"3514 write-failed 3 2", "3514 interrupted 0 1",
                                             "3514 port-open-failed - 1", "3514 unfinished - 1",
                                             "3514 unfinished 9 1", "3514 write-failed 5 1",
                                             "3514 wrong-device - 1"}));
  const auto stations = questions->Stations();
  ASSERT_TRUE(stations) << Describe(stations.error());
  std::vector<std::string> lines;
  for (const StationRow& row : *stations) {
    if (row.station != "north" && row.station != "south") {
      continue;  // the server's other stations
    }
    lines.push_back(row.station + " " + IsoUtc(row.lastStartedAtMs) + " " +
                    (row.lastReceivedAtMs ? "received" : "-") + " " +
                    (row.waiting ? std::to_string(*row.waiting) : "-") + " " +
                    (row.oldestWaitingMs ? IsoUtc(*row.oldestWaitingMs) : "-"));
  }
  const bool server = where == Where::Server;
  EXPECT_EQ(lines, (std::vector<std::string>{
                       server ? "north 2024-11-04T13:00:00.000Z received - -"
                              : "north 2024-11-04T13:00:00.000Z - 7 2024-11-04T08:00:00.000Z",
                       server ? "south 2024-11-04T13:30:00.000Z received - -"
                              : "south 2024-11-04T13:30:00.000Z - 7 2024-11-04T09:00:00.000Z"}));
  // A new record moves the change counter.
  const auto before = questions->ChangeCounter();
  ASSERT_TRUE(before) << Describe(before.error());
  auto store = RecordStore::Open(m_dir / "records.sqlite", RecordStore::Mode::Write);
  ASSERT_TRUE(store && (*store)->Commit(RecordOf(kLine.front())));
  if (server) {
    ASSERT_EQ(ServerLink(Env("LUMAFLASH_PG_STATION_URI")).Forward(**store, WaitLimit()).sent, 1u);
  }
  const auto after = questions->ChangeCounter();
  ASSERT_TRUE(after) << Describe(after.error());
  EXPECT_NE(*before, *after);
}

INSTANTIATE_TEST_SUITE_P(DataSets, Questions,
                         ::testing::Combine(::testing::ValuesIn(kDataSets),
                                            ::testing::Values(Where::Local, Where::Server)),
                         [](const auto& row) {
                           return std::string(std::get<0>(row.param).name) +
                                  (std::get<1>(row.param) == Where::Local ? "_Local" : "_Server");
                         });

INSTANTIATE_TEST_SUITE_P(Stores, LineQuestions, ::testing::Values(Where::Local, Where::Server),
                         [](const auto& row) {
                           return row.param == Where::Local ? "Local" : "Server";
                         });

}  // namespace
}  // namespace lumaflash::records
