// The recorded attempt through the programs: a killed run's row, stores that cannot be used
// (a full and a read-only disk among them) from the command line and the window program, and a
// store that is locked when the attempt ends.
#include <gtest/gtest.h>
#include <sqlite3.h>

#include <array>
#include <csignal>
#include <fstream>
#include <functional>
#include <regex>
#include <string>
#include <vector>

#include "core/records/record_store.h"
#include "core/settings/settings.h"
#include "tests/support/read_file.h"
#include "tests/support/record_bench.h"

namespace lumaflash {
namespace {

using records::Record;
using records::RecordStore;
using testing::Ask;
using testing::Bench;
using testing::Has;
using testing::PrintTo;
using testing::ReadStore;
using testing::Sql;
using testing::StartPackets;
using testing::WaitFor;

struct Kill {
  std::string name;
  std::string moment;  // the line the program prints, after which it is killed
  std::string result;  // what its record reads afterwards
};

class KilledRun : public ::testing::TestWithParam<Kill> {};

// A program killed at a moment it prints itself (never a timer) leaves its attempt's row. Right
// after it told the end, the row holds that end. Killed mid-transfer, the row read in-progress
// while the program ran, and reads unfinished for good, with the block it had reached.
TEST_P(KilledRun, LeavesTheAttemptsRow) {
  const Kill& kill = GetParam();
  Bench bench;
  auto cli = bench.Start({"--station", "bench 7"});
  ASSERT_TRUE(cli->WaitForOutput(kill.moment));
  int64_t reached = 0;
  if (kill.result == "unfinished") {
    // The row notes how far the attempt got every tenth of the way, without the line waiting.
    ASSERT_TRUE(testing::WaitFor([&] {
      const std::vector<Record> found = ReadStore(bench.store);
      reached = found.size() == 1 ? found[0].failedBlock.value_or(0) : 0;
      return reached > 0;
    }));
    EXPECT_EQ(ReadStore(bench.store).at(0).result, "in-progress");
  }
  cli->Signal(SIGKILL);
  cli->Finish();
  const std::vector<Record> found = ReadStore(bench.store);
  ASSERT_EQ(found.size(), 1u);
  EXPECT_EQ(found[0].result, kill.result);
  EXPECT_TRUE(found[0].failedBlock.value_or(0) >= reached && found[0].blockCount == 200);
  EXPECT_TRUE(Has(Ask(bench.store, bench.dir.Path()).out, "\"result\":\"" + kill.result + "\""));
}

INSTANTIATE_TEST_SUITE_P(Moments, KilledRun,
                         ::testing::Values(Kill{"RightAfterTheEndIsTold", "RUN application.", "ok"},
                                           Kill{"MidTransfer", "progress 30%", "unfinished"}),
                         [](const auto& row) { return row.param.name; });

// Whether this test may make mount namespaces of its own (as root).
bool OwnDisksWork() {
  static const bool work =
      testing::RunProgram({"/usr/bin/unshare", "-m", "/usr/bin/true"}, "/").exitCode == 0;
  return work;
}

// `argv` run with its store on a disk of its own: a small tmpfs over `disk` in a mount namespace
// of its own, so no mount outlives the run. The store `from` is copied there first, then
// `prepare` (shell words; $1 is the disk) spoils it.
std::vector<std::string> OnOwnDisk(const std::filesystem::path& disk,
                                   const std::filesystem::path& from, const std::string& prepare,
                                   const std::vector<std::string>& argv) {
  std::vector<std::string> wrapped{
      "/usr/bin/unshare",
      "-m",
      "/bin/sh",
      "-c",
      "mount -t tmpfs -o size=256k tmpfs \"$1\" && cp \"$2\" \"$1/records.sqlite\" && " + prepare +
          " && shift 2 && exec \"$@\"",
      "sh",
      disk.string(),
      from.string()};
  wrapped.insert(wrapped.end(), argv.begin(), argv.end());
  return wrapped;
}

struct BadStore {
  std::string name;
  std::function<void(std::filesystem::path&)> spoil = nullptr;  // may name another place
  std::string message;                                          // what the operator is told
  std::string ownDisk = "";  // spoils a store on a disk of its own instead (OnOwnDisk)
  bool atOpen = true;        // the store fails when a run opens it, not only at an attempt
};

class UnusableStore : public ::testing::TestWithParam<BadStore> {};

enum class Face { Plain, Required, Window };

// The window program where it is built: it updates by itself through the automatic repeat.
#ifdef LUMAFLASH_APP_PATH
constexpr std::array kFaces{Face::Plain, Face::Required, Face::Window};
#else
constexpr std::array kFaces{Face::Plain, Face::Required};
#define LUMAFLASH_APP_PATH ""
#endif

// A store that cannot be used never stops an update, from the command line or the window, and
// the operator is told where the attempt still is. With --require-record nothing is sent and
// the exit is 12.
TEST_P(UnusableStore, UpdateGoesOnUnlessARecordIsRequired) {
  const BadStore& bad = GetParam();
  if (!bad.ownDisk.empty() && !OwnDisksWork()) {
    GTEST_SKIP() << "no mount namespace of our own here: run as root";
  }
  for (const Face face : kFaces) {
    SCOPED_TRACE(static_cast<int>(face));
    Bench bench;
    const auto disk = bench.dir / "disk";
    std::filesystem::create_directory(disk);
    if (bad.ownDisk.empty()) {
      bad.spoil(bench.store);
    } else {
      ASSERT_TRUE(RecordStore::Open(bench.store, RecordStore::Mode::Write));
    }
    const std::string before = testing::ReadWholeFile(bench.store);
    std::vector<std::string> argv =
        face == Face::Window
            ? std::vector<std::string>{"/usr/bin/env",       "QT_QPA_PLATFORM=offscreen",
                                       LUMAFLASH_APP_PATH,   "--port",
                                       bench.device->Path(), "--records"}
            : bench.Args({"--json"}, bad.ownDisk.empty() ? bench.store : disk / "records.sqlite");
    if (face == Face::Window) {
      argv.push_back((bad.ownDisk.empty() ? bench.store : disk / "records.sqlite").string());
      // The automatic repeat updates the one device by itself and closes the window.
      testing::WriteBytes(bench.dir / "Lumaflash.ini",
                          "[3514]\nLAST_OPEN=" + bench.image.string() +
                              "\nUSE_LAST_AGAIN=1\n[APP]\nLAST_DEVICE=" +
                              settings::FormatUpdateStamp(0x3514, settings::TodayLocal()) + "\n");
    }
    if (face == Face::Required) {
      argv.push_back("--require-record");
    }
    if (!bad.ownDisk.empty()) {
      argv = OnOwnDisk(disk, bench.store, bad.ownDisk, argv);
    }
    const auto run = testing::RunProgram(argv, bench.dir.Path());
    const bool required = face == Face::Required;
    EXPECT_EQ(std::regex_search(run.err, std::regex(bad.message)),
              face != Face::Window || bad.atOpen)
        << run.err;
    EXPECT_EQ(run.exitCode, required ? 12 : 0) << run.err;
    EXPECT_EQ(StartPackets(bench.device->Snapshot()), required ? 0 : 1);
    EXPECT_EQ(Has(run.err, "was not kept") && Has(run.err, "JSON line follows"),
              face == Face::Plain)
        << run.err;
    if (bad.ownDisk.empty()) {
      // Reading it is refused too, and no run changed a byte of it.
      const auto read = Ask(bench.store, bench.dir.Path());
      EXPECT_EQ(read.exitCode, 1) << read.err;
      EXPECT_TRUE(
          Has(read.err, bench.store.string()) &&
          (bad.name != "NewerSchema" || std::regex_search(read.err, std::regex(bad.message))))
          << read.err;
      EXPECT_EQ(testing::ReadWholeFile(bench.store), before);
    }
  }
}

const BadStore kStores[] = {
    {"Corrupt", [](auto& path) { std::ofstream(path) << "this is no database, only text\n"; },
     "not an intact record store"},
    // A real store that a newer Lumaflash made: its version, not its tables, refuses it.
    {"NewerSchema",
     [](auto& path) {
       ASSERT_TRUE(RecordStore::Open(path, RecordStore::Mode::Write));
       Sql(path, "CREATE TABLE later (x); PRAGMA user_version = 3");
     },
     "schema version 3, but this Lumaflash knows versions up to 2: update Lumaflash"},
    {"Directory", [](auto& path) { std::filesystem::create_directory(path); }, "cannot be opened"},
    {"MissingFolder", [](auto& path) { path = path.parent_path() / "gone" / "records.sqlite"; },
     "cannot be opened"},
    {.name = "ReadOnly",
     .message = "is read-only: make it writable",
     .ownDisk = "mount -o remount,ro \"$1\""},
    // Full after it was opened: the attempt's first row does not fit.
    {.name = "Full",
     .message = "the disk is full",
     .ownDisk = "dd if=/dev/zero of=\"$1/keep\" bs=4k count=9 2>/dev/null && "
                "{ dd if=/dev/zero of=\"$1/fill\" bs=4k 2>/dev/null; rm \"$1/keep\"; }",
     .atOpen = false},
};
INSTANTIATE_TEST_SUITE_P(Stores, UnusableStore, ::testing::ValuesIn(kStores),
                         [](const auto& row) { return row.param.name; });

// A store that another program holds past the lock's time-out at the attempt's end keeps the
// attempt's first row, which reads unfinished: with --require-record the run says so, still
// prints the JSON line, and ends with exit 12.
TEST(Records, StoreLockedAtTheCommitEndsARequiredRunWith12) {
  Bench bench;
  auto cli = bench.Start({"--json", "--require-record"});
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
  const std::vector<Record> found = ReadStore(bench.store);
  EXPECT_TRUE(found.size() == 1 && found[0].result == "unfinished");
}

}  // namespace
}  // namespace lumaflash
