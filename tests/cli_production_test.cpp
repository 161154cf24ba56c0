// The pieces of the command line's production mode, through their own interfaces: choosing
// devices, remembering units, rescanning without flooding silent ports, the progress board and
// the CSV and JSON records.
#include <gtest/gtest.h>

#include <cerrno>
#include <cstdio>
#include <fstream>
#include <regex>
#include <string>
#include <vector>

#include "device_choice.h"
#include "flash_record.h"
#include "options.h"
#include "progress_board.h"
#include "rescanner.h"
#include "serial/system_calls.h"
#include "support/sim_devices.h"
#include "support/temp_dir.h"

namespace lumaflash {
namespace {

using cli::Choice;

protocol::InterfaceRecord Record(const std::string& port, uint16_t deviceId,
                                 std::vector<uint8_t> serial) {
  protocol::InterfaceRecord record;
  record.bootloaderVersion = 0x0101;
  record.deviceId = deviceId;
  record.portPath = port;
  record.serialLength = static_cast<uint8_t>(serial.size());
  std::copy(serial.begin(), serial.end(), record.serial.begin());
  return record;
}

std::vector<std::string> Ports(const std::vector<protocol::InterfaceRecord>& records) {
  std::vector<std::string> ports;
  for (const auto& record : records) {
    ports.push_back(record.portPath);
  }
  return ports;
}

TEST(CliProduction, ChoosesDevices) {
  const std::vector<protocol::InterfaceRecord> found{
      Record("A", 0x3611, {0x0a, 0x01}), Record("B", 0x3514, {0x0a, 0x02}),
      Record("C", 0x3611, {0x0a, 0x03}), Record("D", 0x3611, {})};
  struct Case {
    const char* name;
    cli::ChoiceRules rules;
    std::set<cli::UnitKey> exclude;
    Choice::Verdict verdict;
    std::vector<std::string> chosen;
    std::vector<std::string> skipped;
  };
  const Case cases[] = {
      {"one wanted, several", {0x3611, "", false, false}, {}, Choice::Verdict::Several, {}, {}},
      {"serial", {0x3611, "0A03", false, false}, {}, Choice::Verdict::Chosen, {"C"}, {}},
      {"serial of another type goes to the update, which refuses it",
       {0x3611, "0A02", false, false},
       {},
       Choice::Verdict::Chosen,
       {"B"},
       {}},
      {"serial of another type while waiting",
       {0x3611, "0A02", false, true},
       {},
       Choice::Verdict::None,
       {},
       {"B"}},
      {"unknown serial", {0x3611, "FFFF", false, false}, {}, Choice::Verdict::None, {}, {}},
      {"all", {0x3611, "", true, false}, {}, Choice::Verdict::Chosen, {"A", "C", "D"}, {"B"}},
      {"all but the units just updated",
       {0x3611, "", true, false},
       {{"A", "0A01"}, {"D", ""}},
       Choice::Verdict::Chosen,
       {"C"},
       {"B"}},
      {"the one left after the recent ones",
       {0x3611, "", false, true},
       {{"A", "0A01"}, {"C", "0A03"}},
       Choice::Verdict::Chosen,
       {"D"},
       {"B"}},
      {"same serial on another port is another unit",
       {0x3611, "0A01", false, true},
       {{"C", "0A01"}},
       Choice::Verdict::Chosen,
       {"A"},
       {}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const Choice choice = cli::ChooseDevices(found, c.rules, c.exclude);
    EXPECT_EQ(choice.verdict, c.verdict);
    EXPECT_EQ(Ports(choice.chosen), c.chosen);
    EXPECT_EQ(Ports(choice.skipped), c.skipped);
    if (c.verdict == Choice::Verdict::Several) {
      EXPECT_EQ(Ports(choice.several), (std::vector<std::string>{"A", "B", "C", "D"}));
    }
  }
}

TEST(CliProduction, RecentUnitsAreForgottenOnceGone) {
  cli::RecentUnits recent;
  const auto unit = Record("A", 0x3611, {0x01});
  recent.Add(unit);
  const std::vector<protocol::InterfaceRecord> stillThere{unit, Record("B", 0x3611, {0x02})};
  recent.KeepOnly(stillThere);
  EXPECT_TRUE(recent.Units().contains(cli::KeyOf(unit)));
  // Another unit on the same port is not the one updated: the remembered one left.
  const std::vector<protocol::InterfaceRecord> swapped{Record("A", 0x3611, {0x03})};
  recent.KeepOnly(swapped);
  EXPECT_TRUE(recent.Units().empty());
}

TEST(CliProduction, OptionsForFlash) {
  struct Case {
    std::vector<const char*> args;
    bool ok;
    std::string serial;
  };
  const Case cases[] = {
      {{"flash", "x.bin", "--serial", "0a1bff", "--all", "--wait", "--repeat", "--json"},
       true,
       "0A1BFF"},
      {{"flash", "x.bin", "--serial", "0A 1B"}, true, "0A1B"},
      {{"flash", "x.bin", "--serial", "0A1"}, false, ""},
      {{"flash", "x.bin", "--serial", "zz"}, false, ""},
      {{"flash", "x.bin", "--serial"}, false, ""},
      {{"flash", "x.bin", "--log"}, false, ""},
      {{"scan", "--all"}, false, ""},
      {{"scan", "--serial", "0A"}, false, ""},
  };
  for (const Case& c : cases) {
    std::vector<char*> argv{const_cast<char*>("lumaflash-cli")};
    for (const char* arg : c.args) {
      argv.push_back(const_cast<char*>(arg));
    }
    std::string error;
    auto options = cli::ParseOptions(static_cast<int>(argv.size()), argv.data(), error);
    EXPECT_EQ(options.has_value(), c.ok) << c.args.back() << ": " << error;
    if (options && c.ok) {
      EXPECT_EQ(options->serial, c.serial);
    }
    if (!c.ok) {
      EXPECT_FALSE(error.empty());
    }
  }
}

std::string ReadBack(std::FILE* file) {
  std::rewind(file);
  std::string text;
  for (int c = std::fgetc(file); c != EOF; c = std::fgetc(file)) {
    text += static_cast<char>(c);
  }
  return text;
}

TEST(CliProduction, ProgressBoardOnATerminalAndInALog) {
  for (bool terminal : {true, false}) {
    SCOPED_TRACE(terminal ? "terminal" : "plain");
    std::FILE* out = std::tmpfile();
    ASSERT_NE(out, nullptr);
    {
      cli::ProgressBoard board(out, {"/dev/ttyACM0 01", "/dev/ttyACM1 02"}, terminal);
      cli::BoardFeedback second(board, 1);
      second.SetProgressRange(4);
      for (int i = 0; i < 4; ++i) {
        second.StepProgress();
      }
      second.AddStatus("RUN application.", false);
    }
    const std::string text = ReadBack(out);
    std::fclose(out);
    if (terminal) {
      EXPECT_EQ(text.find("/dev/ttyACM0 01 [                              ] 0/0\n"), 0u) << text;
      // Row 1 of 2 is one line above the cursor: up 1, rewrite, clear the rest, down 1.
      EXPECT_NE(text.find("\x1b[1A\r/dev/ttyACM1 02 [##############################] 4/4  RUN "
                          "application.\x1b[K\x1b[1B\r"),
                std::string::npos)
          << text;
    } else {
      EXPECT_EQ(text,
                "/dev/ttyACM1 02 progress 1/4 blocks\n/dev/ttyACM1 02 progress 2/4 blocks\n"
                "/dev/ttyACM1 02 progress 3/4 blocks\n/dev/ttyACM1 02 progress 4/4 blocks\n"
                "/dev/ttyACM1 02 RUN application.\n");
    }
  }
}

TEST(CliProduction, RecordsAsCsvAndJson) {
  cli::FlashRecord record;
  record.timestamp = cli::LocalTimestamp(std::chrono::system_clock::now());
  record.device = Record("/dev/ttyACM0", 0x3611, {0xab, 0x01});
  record.device.firmwareVersion = 0x0105;
  record.imagePath = "/images/a \"b\",c.bin";
  record.sha256 = "00ff";
  record.outcome.result = update::FlashResult::WriteFailed;
  record.outcome.statusLine = "Timeout on write data !";
  record.durationMs = 1234;
  EXPECT_TRUE(std::regex_match(record.timestamp,
                               std::regex(R"(\d{4}-\d\d-\d\dT\d\d:\d\d:\d\d[+-]\d\d:\d\d)")))
      << record.timestamp;
  EXPECT_EQ(cli::RecordCsv(record),
            record.timestamp +
                ",/dev/ttyACM0,AB01,3611,0105,\"/images/a \"\"b\"\",c.bin\",00ff,write-failed,"
                "Timeout on write data !,1234,");
  EXPECT_EQ(
      cli::RecordJson(record),
      "{\"port\":\"/dev/ttyACM0\",\"serial\":\"AB01\",\"usbSerial\":null,\"deviceId\":\"3611\","
      "\"firmwareVersion\":\"0105\",\"image\":\"/images/a \\\"b\\\",c.bin\","
      "\"sha256\":\"00ff\",\"result\":\"write-failed\",\"status\":\"Timeout on write "
      "data !\",\"durationMs\":1234}");
  record.outcome = {};
  record.device.serialLength = 0;
  const std::string json = cli::RecordJson(record);
  EXPECT_NE(json.find("\"serial\":null"), std::string::npos);
  EXPECT_NE(json.find("\"result\":\"ok\",\"status\":null"), std::string::npos);

  testing::TempDir dir;
  std::string error;
  ASSERT_TRUE(cli::AppendCsv(dir / "log.csv", record, error)) << error;
  ASSERT_TRUE(cli::AppendCsv(dir / "log.csv", record, error)) << error;
  std::ifstream in(dir / "log.csv");
  std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  EXPECT_EQ(text, std::string(cli::kCsvHeader) + "\n" + cli::RecordCsv(record) + "\n" +
                      cli::RecordCsv(record) + "\n");
  EXPECT_FALSE(cli::AppendCsv(dir / "no" / "such" / "log.csv", record, error));
  EXPECT_NE(error.find("cannot write the log"), std::string::npos);
}

std::size_t IdentifyCount(const sim::PtyDevice& device) {
  return device.Snapshot().Packets().size();
}

TEST(CliProduction, RescanSparesSilentPortsAndTellsFailuresOnce) {
  testing::TempDir dir;
  auto talking = testing::StartDevice(testing::Device(0x3611));
  auto silent = testing::StartDevice(testing::Device(0x3611),
                                     {{sim::Fault::Silent, sim::PacketKind::Identify, -1}});
  const std::string missing = (dir / "ttyMissing").string();
  cli::Rescanner scanner({talking->Path(), silent->Path(), missing});
  std::vector<std::size_t> failuresTold;
  std::vector<std::size_t> found;
  for (int round = 0; round < 8; ++round) {
    scanner.Scan();
    failuresTold.push_back(scanner.NewFailures().size());
    found.push_back(scanner.Interfaces().Count());
  }
  EXPECT_EQ(IdentifyCount(*talking), 8u);
  // Probed in rounds 1, 3 and 7: after its first silence every second round, then every fourth.
  EXPECT_EQ(IdentifyCount(*silent), 3u);
  EXPECT_EQ(failuresTold, (std::vector<std::size_t>{1, 0, 0, 0, 0, 0, 0, 0}));
  EXPECT_EQ(found, (std::vector<std::size_t>(8, 1)));
  ASSERT_EQ(scanner.CurrentFailures().size(), 1u);
  EXPECT_EQ(scanner.CurrentFailures()[0].error, serial::PortError::NotFound);
  EXPECT_NE(scanner.ScanLog().find("Open " + talking->Path()), std::string::npos);
}

// Refuses to open one port with a chosen error, as the system would.
class RefusingCalls : public serial::SystemCalls {
 public:
  RefusingCalls(std::string path, int error) : m_path(std::move(path)), m_error(error) {}
  int Open(const char* path, int flags) override {
    if (m_path == path) {
      errno = m_error;
      return -1;
    }
    return SystemCalls::Open(path, flags);
  }

 private:
  std::string m_path;
  int m_error;
};

TEST(CliProduction, RescanTellsWhyAPortCannotBeOpened) {
  struct Case {
    int error;
    serial::PortError reason;
    std::string words;
  };
  const Case cases[] = {
      {EACCES, serial::PortError::AccessDenied,
       "permission denied. Your user must be in the "
       "group that owns the device, usually dialout"},
      {EBUSY, serial::PortError::Busy, "is busy: another program holds it"},
      {ENOENT, serial::PortError::NotFound, "no such port"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.words);
    auto device = testing::StartDevice(testing::Device(0x3611));
    RefusingCalls calls(device->Path(), c.error);
    serial::ScopedSystemCalls installed(calls);
    cli::Rescanner scanner({device->Path()});
    scanner.Scan();
    ASSERT_EQ(scanner.NewFailures().size(), 1u);
    EXPECT_EQ(scanner.NewFailures()[0].error, c.reason);
    EXPECT_NE(serial::DescribePortFailure(scanner.NewFailures()[0]).find(c.words),
              std::string::npos);
    // Absent ports are the normal case of a walk and stay out of the scan log.
    const bool logged =
        scanner.ScanLog().find("Open " + device->Path() + " failed: ") != std::string::npos;
    EXPECT_EQ(logged, c.reason != serial::PortError::NotFound);
    EXPECT_EQ(scanner.Interfaces().Count(), 0u);
    EXPECT_TRUE(device->Snapshot().Packets().empty());
  }
}

}  // namespace
}  // namespace lumaflash
