// The command line through the real lumaflash-cli program and simulated devices: scan, info,
// flash and its exit codes, and the production bench (several devices, --serial, --wait,
// --repeat, busy ports, Ctrl+C, JSON and CSV records). The pieces the program cannot show on a
// pipe (the progress board on a terminal, the rescan's pace) are tested through their classes.
#include <gtest/gtest.h>
#include <sys/file.h>

#include <chrono>
#include <csignal>
#include <cstdio>
#include <regex>
#include <string>
#include <thread>
#include <tuple>
#include <vector>

#include "device_choice.h"
#include "progress_board.h"
#include "protocol/identify.h"
#include "protocol/programming.h"
#include "rescanner.h"
#include "sim/image_file.h"
#include "support/raw_pty.h"
#include "support/read_file.h"
#include "support/run_program.h"
#include "support/sim_devices.h"
#include "support/temp_dir.h"

namespace lumaflash {
namespace {

using namespace std::chrono_literals;
using Devices = std::vector<std::unique_ptr<sim::PtyDevice>>;

testing::ProgramResult Cli(const testing::TempDir& dir, std::vector<std::string> args) {
  args.insert(args.begin(), LUMAFLASH_CLI_PATH);
  return testing::RunProgram(args, dir.Path());
}

std::unique_ptr<testing::RunningProgram> StartCli(const testing::TempDir& dir,
                                                  std::vector<std::string> args) {
  args.insert(args.begin(), LUMAFLASH_CLI_PATH);
  return std::make_unique<testing::RunningProgram>(args, dir.Path());
}

// A fast device type (5 ms after each block) with small blocks and a serial number of its own,
// which bootloader 0101 reports for every type.
sim::DeviceConfig Unit(uint8_t serial, uint16_t deviceId = 0x3611, bool stay = false) {
  sim::DeviceConfig config = testing::Device(deviceId, 64);
  config.bootloaderVersion = 0x0101;
  config.serial = {0xab, 0x00, serial};
  config.stayInBootloader = stay;
  return config;
}

std::vector<std::string> WithPorts(std::vector<std::string> args, const Devices& devices) {
  for (const auto& device : devices) {
    args.insert(args.end(), {"--port", device->Path()});
  }
  return args;
}

bool ReceivedExactly(const sim::PtyDevice& device, std::vector<uint8_t> payload) {
  const sim::DeviceModel got = device.Snapshot();
  const std::size_t blockSize = got.Config().blockSize;
  payload.resize((payload.size() + blockSize - 1) / blockSize * blockSize, 0);
  return got.RunReceived() && got.Image() == payload && got.TimingViolations().empty() &&
         got.ProtocolViolations().empty();
}

int StartPackets(const sim::PtyDevice& device) {
  const auto packets = device.Snapshot().Packets();
  return static_cast<int>(std::count_if(packets.begin(), packets.end(), [](const auto& p) {
    return p.size() == 4 && p[0] == protocol::kProgram;
  }));
}

template <typename Condition>
bool WaitFor(Condition condition) {
  for (auto waited = 0ms; waited < 10s && !condition(); waited += 20ms) {
    std::this_thread::sleep_for(20ms);
  }
  return condition();
}

std::size_t Occurrences(const std::string& text, const std::string& word) {
  std::size_t count = 0;
  for (std::size_t at = text.find(word); at != std::string::npos; at = text.find(word, at + 1)) {
    ++count;
  }
  return count;
}

TEST(Cli, ScanAndInfo) {
  testing::TempDir dir;
  sim::DeviceConfig config = testing::Device(0x3514, 256);
  config.serial = {0x0a, 0x1b, 0xff};
  auto device = testing::StartDevice(config);
  auto json =
      Cli(dir, {"scan", "--port", device->Path(), "--port", (dir / "ttyNone").string(), "--json"});
  EXPECT_EQ(json.exitCode, 0) << json.err;
  EXPECT_EQ(json.out, "[{\"port\":\"" + device->Path() +
                          "\",\"portNumber\":1,\"deviceId\":\"3514\",\"bootloaderVersion\":"
                          "\"0100\",\"firmwareVersion\":\"0105\",\"infoTag\":\"0000\","
                          "\"blockSize\":256,\"serial\":\"0A1BFF\",\"usb\":null}]\n");
  EXPECT_NE(json.err.find("no such port"), std::string::npos);
  auto trace = Cli(dir, {"scan", "--port", device->Path(), "--trace"});
  EXPECT_NE(trace.out.find("Lumetta A"), std::string::npos) << trace.out;
  EXPECT_NE(trace.out.find("1 Interfaces found\n"), std::string::npos);
  EXPECT_NE(trace.out.find("Find Interface START\r\nOpen " + device->Path() +
                           "\r\nReceived 12 bytes: 0x00 0x01 0x05 0x01 0x14 0x35 0x00 0x01 0x03 "
                           "0x0a 0x1b 0xff \r\n   BootloaderVersion: 0100\r\n"),
            std::string::npos)
      << trace.out;

  const auto image =
      dir.Write("fw.bin", sim::BuildImageFile(2, 0x3611, std::vector<uint8_t>{'a', 'b', 'c'}));
  auto info = Cli(dir, {"info", image.string()});
  EXPECT_EQ(info.exitCode, 0) << info.err;
  EXPECT_NE(info.out.find("Header version: 2"), std::string::npos);
  EXPECT_NE(info.out.find("3611 (Tessel Four)"), std::string::npos);
  EXPECT_NE(info.out.find("Payload:        3 bytes"), std::string::npos);
  EXPECT_NE(info.out.find("ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad"),
            std::string::npos);  // SHA-256 of "abc"
}

TEST(Cli, UsageErrorsAreOneLineWithANearMiss) {
  testing::TempDir dir;
  const std::pair<std::vector<std::string>, std::string> cases[] = {
      {{}, "no command given"},
      {{"flsh"}, "unknown command \"flsh\" (did you mean flash?)"},
      {{"scan", "--jsn"}, "unknown option --jsn for scan (did you mean --json?)"},
      {{"scan", "--all"}, "--all for scan (it belongs to flash)"},
      {{"flash"}, "flash needs one IMAGE file; see lumaflash-cli flash --help"},
      {{"flash", "a.bin", "b.bin"}, "not 2"},
      {{"scan", "--port"}, "--port needs a value"},
      {{"help", "flahs"}, "(did you mean flash?)"},
      {{"info"}, "info needs one IMAGE"},
  };
  for (const auto& [args, words] : cases) {
    auto result = Cli(dir, args);
    EXPECT_EQ(result.exitCode, 2) << ::testing::PrintToString(args);
    EXPECT_NE(result.err.find(words), std::string::npos) << result.err;
    EXPECT_NE(result.err.find("--help\n"), std::string::npos) << result.err;
    EXPECT_EQ(result.err.find('\n'), result.err.size() - 1) << result.err;
    EXPECT_EQ(result.out, "");
  }
  for (std::vector<std::string> args :
       {std::vector<std::string>{"flash", "a.bin", "--serial", "0A1"},
        {"flash", "a.bin", "--serial", "zz"},
        {"flash", "a.bin", "--log"}}) {
    EXPECT_EQ(Cli(dir, args).exitCode, 2) << ::testing::PrintToString(args);
  }
  // Every way of asking for help answers on standard output; a command's help is one text.
  const auto flashHelp = Cli(dir, {"help", "flash"}).out;
  EXPECT_NE(flashHelp.find("--serial HEX"), std::string::npos) << flashHelp;
  for (std::vector<std::string> args : {std::vector<std::string>{"--help"},
                                        {"-h"},
                                        {"help"},
                                        {"flash", "--help"},
                                        {"flash", "x.bin", "-h"}}) {
    auto result = Cli(dir, args);
    EXPECT_EQ(result.exitCode, 0) << result.err;
    EXPECT_EQ(result.err, "");
    EXPECT_NE(result.out.find("usage: lumaflash-cli"), std::string::npos);
    if (args.front() == "flash") {
      EXPECT_EQ(result.out, flashHelp);
    }
  }
}

TEST(Cli, FlashUpdatesTheOneDeviceAndWritesTheStamp) {
  testing::TempDir dir;
  auto device = testing::StartDevice(testing::Device(0x3514));
  const auto payload = sim::PatternPayload(3000, 11);
  const auto image = dir.Write("fw.bin", sim::BuildImageFile(1, 0x3514, payload));
  auto result = Cli(dir, {"flash", image.string(), "--port", device->Path()});
  EXPECT_EQ(result.exitCode, 0) << result.out << result.err;
  EXPECT_NE(result.out.find("Write data complete. (" + image.string() + ")\nRUN application.\n"),
            std::string::npos)
      << result.out;
  auto got = device->Snapshot();
  EXPECT_TRUE(got.RunReceived());
  EXPECT_TRUE(std::equal(payload.begin(), payload.end(), got.Image().begin()));
  std::string text = testing::ReadWholeFile(dir / "Lumaflash.ini");
  EXPECT_NE(text.find("[APP]"), std::string::npos);
  EXPECT_NE(text.find("LAST_DEVICE=3514"), std::string::npos);
}

TEST(Cli, FlashOutcomesAndTheirExitCodes) {
  testing::TempDir dir;
  const auto payload = sim::PatternPayload(3000, 11);
  const auto good = dir.Write("good.bin", sim::BuildImageFile(1, 0x3514, payload));
  const auto other =
      dir.Write("other.bin", sim::BuildImageFile(1, 0x3409, sim::PatternPayload(64, 1)));
  const auto cut = dir.Write("cut.bin", std::vector<uint8_t>{1, 0x35, 0x14});
  struct Case {
    std::filesystem::path image;
    int devices;
    std::vector<sim::FaultPlan> faults;
    int exitCode;
    std::string words;
  };
  const Case cases[] = {
      {good, 1, {}, 0, "Write data complete. (" + good.string() + ")\nRUN application.\n"},
      {cut, 1, {}, 3, "truncated"},
      {good,
       1,
       {{sim::Fault::Silent, sim::PacketKind::Identify, -1}},
       4,
       "no device in bootloader mode answered"},
      {good, 0, {}, 8, "no named port could be opened"},
      {good, 2, {}, 5, "2 devices answered; nothing was sent"},
      {other,
       1,
       {},
       6,
       R"(Firmware file is not for selected device!\nlumaflash-cli: the image is for Lumetta B )"
       R"(\(type 3409\), but the device on .* is Lumetta A \(type 3514\))"},
      {good,
       1,
       {{sim::Fault::Silent, sim::PacketKind::Block, 1}},
       9,
       "Timeout on write data !\nlumaflash-cli: the device on .* failed at block 2 of [0-9]+"},
      {good, 1, {{sim::Fault::Vanish, sim::PacketKind::Start, 0}}, 9, "vanished"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.words);
    Devices devices;
    for (int i = 0; i < c.devices; ++i) {
      devices.push_back(testing::StartDevice(testing::Device(0x3514), c.faults));
    }
    std::vector<std::string> args = WithPorts({"flash", c.image.string()}, devices);
    if (c.devices == 0) {
      args.insert(args.end(), {"--port", (dir / "ttyGone").string()});
    }
    std::filesystem::remove(dir / "Lumaflash.ini");
    auto result = Cli(dir, args);
    EXPECT_EQ(result.exitCode, c.exitCode) << result.out << result.err;
    // Failures are told on standard error.
    EXPECT_TRUE(c.exitCode == 0 ? result.out.find(c.words) != std::string::npos
                                : std::regex_search(result.err, std::regex(c.words)))
        << result.out << result.err;
    for (const auto& device : devices) {
      EXPECT_EQ(ReceivedExactly(*device, payload), c.exitCode == 0);
    }
    EXPECT_EQ(
        testing::ReadWholeFile(dir / "Lumaflash.ini").find("LAST_DEVICE=3514") != std::string::npos,
        c.exitCode == 0);
  }
}

// A file-size limit binds root too: no new settings file can be written, the old one stays, and
// the update is still done and reported as such.
TEST(Cli, UnwritableSettingsFileDoesNotUndoTheUpdate) {
  testing::TempDir dir;
  const auto payload = sim::PatternPayload(1024, 9);
  const auto image = dir.Write("fw.bin", sim::BuildImageFile(1, 0x3514, payload));
  const std::string before = "; " + std::string(5000, '-') + "\n[APP]\nLAST_DEVICE=old\n";
  testing::WriteBytes(dir / "Lumaflash.ini", before);
  auto device = testing::StartDevice(testing::Device(0x3514));
  const auto result = testing::RunProgram(
      {"/bin/sh", "-c", "trap '' XFSZ; ulimit -f 2; exec \"$0\" flash \"$1\" --port \"$2\"",
       LUMAFLASH_CLI_PATH, image.string(), device->Path()},
      dir.Path());
  EXPECT_EQ(result.exitCode, 0) << result.err;
  EXPECT_TRUE(ReceivedExactly(*device, payload));
  EXPECT_NE(result.out.find("RUN application.\n"), std::string::npos) << result.out;
  EXPECT_NE(result.err.find("Could not save the settings file"), std::string::npos) << result.err;
  EXPECT_NE(result.err.find("ulimit -f"), std::string::npos) << result.err;
  EXPECT_EQ(testing::ReadWholeFile(dir / "Lumaflash.ini"), before);
  EXPECT_EQ(std::distance(std::filesystem::directory_iterator(dir.Path()), {}), 2)
      << "no temporary file is left behind";
}

TEST(Production, AllUpdatesEveryMatchingDeviceAndRecordsEachAttempt) {
  testing::TempDir dir;
  const auto payload = sim::PatternPayload(1000, 7);
  // A name that needs quoting in both records.
  const auto image = dir.Write("a \"b\",c.bin", sim::BuildImageFile(1, 0x3611, payload));
  Devices devices;
  devices.push_back(testing::StartDevice(Unit(1)));
  devices.push_back(
      testing::StartDevice(Unit(2), {{sim::Fault::Silent, sim::PacketKind::Block, 4}}));
  devices.push_back(testing::StartDevice(Unit(3)));
  devices.push_back(testing::StartDevice(Unit(4, 0x3514)));
  const auto log = dir / "run.csv";
  auto result = Cli(
      dir, WithPorts({"flash", image.string(), "--all", "--json", "--log", log.string()}, devices));
  EXPECT_EQ(result.exitCode, 11) << result.err;
  EXPECT_TRUE(ReceivedExactly(*devices[0], payload));
  EXPECT_TRUE(ReceivedExactly(*devices[2], payload));
  EXPECT_EQ(devices[3]->Snapshot().Packets().size(), 1u) << "only the identify command";
  EXPECT_NE(result.err.find("skipped " + devices[3]->Path()), std::string::npos) << result.err;

  const std::regex sha("[0-9a-f]{64}");
  const auto jsonLine = [&](std::size_t i, const std::string& verdict, const std::string& status) {
    return "{\"port\":\"" + devices[i]->Path() + "\",\"serial\":\"AB000" + std::to_string(i + 1) +
           "\",\"usbSerial\":null,\"deviceId\":\"3611\",\"firmwareVersion\":\"0105\",\"image\":\"" +
           dir.Path().string() + "/a \\\"b\\\",c.bin\",\"sha256\":\"SHA\",\"result\":\"" + verdict +
           "\",\"status\":" + status + ",\"durationMs\":N}\n";
  };
  const std::string timeout = "Timeout on write data !";
  EXPECT_EQ(std::regex_replace(std::regex_replace(result.out, sha, "SHA"),
                               std::regex("\"durationMs\":[1-9][0-9]*"), "\"durationMs\":N"),
            jsonLine(0, "ok", "null") + jsonLine(1, "write-failed", "\"" + timeout + "\"") +
                jsonLine(2, "ok", "null"));
  const auto csvLine = [&](std::size_t i, const std::string& verdict) {
    return "T," + devices[i]->Path() + ",AB000" + std::to_string(i + 1) + ",3611,0105,\"" +
           dir.Path().string() + "/a \"\"b\"\",c.bin\",SHA," + verdict + ",N,\n";
  };
  EXPECT_EQ(
      std::regex_replace(
          std::regex_replace(std::regex_replace(testing::ReadWholeFile(log), sha, "SHA"),
                             std::regex(R"(\d{4}-\d\d-\d\dT\d\d:\d\d:\d\d[+-]\d\d:\d\d)"), "T"),
          std::regex(",[1-9][0-9]*,\n"), ",N,\n"),
      "timestamp,port,serial,deviceId,firmwareVersion,image,sha256,result,status,"
      "durationMs,usbSerial\n" +
          csvLine(0, "ok,") + csvLine(1, "write-failed," + timeout) + csvLine(2, "ok,"));
  EXPECT_NE(testing::ReadWholeFile(dir / "Lumaflash.ini").find("LAST_DEVICE=3611"),
            std::string::npos);
}

TEST(Production, SerialNumberPicksOneDevice) {
  testing::TempDir dir;
  const auto payload = sim::PatternPayload(300, 5);
  const auto image = dir.Write("fw.bin", sim::BuildImageFile(1, 0x3611, payload));
  // Spaces and either case name the same serial number; a serial nobody has sends nothing.
  for (const auto& [serial, exitCode] : {std::pair{"ab 00 02", 0}, std::pair{"AB0003", 4}}) {
    SCOPED_TRACE(serial);
    Devices devices;
    devices.push_back(testing::StartDevice(Unit(1)));
    devices.push_back(testing::StartDevice(Unit(2)));
    auto result = Cli(dir, WithPorts({"flash", image.string(), "--serial", serial}, devices));
    EXPECT_EQ(result.exitCode, exitCode) << result.out << result.err;
    EXPECT_EQ(StartPackets(*devices[0]), 0);
    EXPECT_EQ(ReceivedExactly(*devices[1], payload), exitCode == 0);
    EXPECT_EQ(StartPackets(*devices[1]), exitCode == 0 ? 1 : 0);
  }
  auto device = testing::StartDevice(Unit(1));
  auto noLog = Cli(dir, {"flash", image.string(), "--log", (dir / "missing" / "run.csv").string(),
                         "--port", device->Path()});
  EXPECT_EQ(noLog.exitCode, 1);
  EXPECT_NE(noLog.err.find("cannot open the log"), std::string::npos) << noLog.err;
  EXPECT_EQ(StartPackets(*device), 0);
}

TEST(Production, WaitTakesADeviceThatAppearsLater) {
  testing::TempDir dir;
  const auto payload = sim::PatternPayload(500, 9);
  const auto image = dir.Write("fw.bin", sim::BuildImageFile(1, 0x3611, payload));
  const auto later = dir / "ttyLater";
  auto cli = StartCli(dir, {"flash", image.string(), "--wait", "--port", later.string()});
  std::this_thread::sleep_for(1200ms);
  auto device = testing::StartDevice(Unit(1));
  std::filesystem::create_symlink(device->Path(), later);
  auto result = cli->Finish();
  EXPECT_EQ(result.exitCode, 0) << result.out << result.err;
  EXPECT_TRUE(ReceivedExactly(*device, payload));
  EXPECT_NE(result.out.find("Waiting for a device of type 3611"), std::string::npos);
  EXPECT_EQ(Occurrences(result.err, "no such port"), 1u) << result.err;
}

TEST(Production, RepeatUpdatesEachNewUnitOnce) {
  testing::TempDir dir;
  const auto payload = sim::PatternPayload(300, 2);
  const auto image = dir.Write("fw.bin", sim::BuildImageFile(1, 0x3611, payload));
  const auto portA = dir / "ttyA";
  const auto portB = dir / "ttyB";
  // The units stay in bootloader mode after their run packet, the hard case: they still answer.
  auto unitA = testing::StartDevice(Unit(1, 0x3611, true));
  std::filesystem::create_symlink(unitA->Path(), portA);
  auto cli = StartCli(dir, {"flash", image.string(), "--repeat", "--port", portA.string(), "--port",
                            portB.string()});
  ASSERT_TRUE(WaitFor([&] { return unitA->Snapshot().RunReceived(); }));
  auto unitB = testing::StartDevice(Unit(2, 0x3611, true));
  std::filesystem::create_symlink(unitB->Path(), portB);
  ASSERT_TRUE(WaitFor([&] { return unitB->Snapshot().RunReceived(); }));
  // Unit A is unplugged and a unit with the same serial number comes back on its port: new.
  std::filesystem::remove(portA);
  std::this_thread::sleep_for(1500ms);
  auto unitA2 = testing::StartDevice(Unit(1, 0x3611, true));
  std::filesystem::create_symlink(unitA2->Path(), portA);
  ASSERT_TRUE(WaitFor([&] { return unitA2->Snapshot().RunReceived(); }));
  std::this_thread::sleep_for(1500ms);  // a few more rounds: nobody may be updated again
  cli->Signal(SIGINT);
  auto result = cli->Finish();
  EXPECT_EQ(result.exitCode, 0) << result.err;
  EXPECT_EQ(StartPackets(*unitA) + StartPackets(*unitB) + StartPackets(*unitA2), 3);
  EXPECT_TRUE(ReceivedExactly(*unitA2, payload));
}

// Holds a port the way another serial program does: open, with an exclusive lock.
struct HeldPort {
  explicit HeldPort(const std::string& path) : fd(::open(path.c_str(), O_RDWR | O_NOCTTY)) {
    EXPECT_EQ(::flock(fd, LOCK_EX | LOCK_NB), 0);
  }
  ~HeldPort() { ::close(fd); }
  int fd;
};

TEST(Production, BusyPortIsToldOnceAndCtrlCClosesThePort) {
  testing::TempDir dir;
  // 0x3514 pauses 10 ms per block: 200 blocks take two seconds.
  const auto image =
      dir.Write("fw.bin", sim::BuildImageFile(1, 0x3514, sim::PatternPayload(200 * 64, 1)));
  auto device = testing::StartDevice(Unit(1, 0x3514));
  const std::string busy = device->Path() + " is busy: another program holds it.";
  auto cli = StartCli(dir, {"flash", image.string(), "--wait", "--json", "--port", device->Path()});
  {
    HeldPort held(device->Path());
    ASSERT_TRUE(WaitFor([&] { return device->Snapshot().Packets().empty(); }));
    std::this_thread::sleep_for(2500ms);  // a few rounds: the port stays busy all along
  }
  // Free now: the waiting program takes it; Ctrl+C mid-transfer stops it between blocks.
  ASSERT_TRUE(WaitFor([&] { return device->Snapshot().BlockCount() >= 5; }));
  cli->Signal(SIGINT);
  auto result = cli->Finish();
  EXPECT_EQ(result.exitCode, 10) << result.err;
  EXPECT_EQ(Occurrences(result.err, busy), 1u) << result.err;
  EXPECT_NE(result.err.find("interrupted while updating " + device->Path() + " (serial AB0001)"),
            std::string::npos)
      << result.err;
  EXPECT_NE(result.out.find("\"result\":\"interrupted\""), std::string::npos) << result.out;
  EXPECT_FALSE(device->Snapshot().RunReceived());
  EXPECT_LT(device->Snapshot().BlockCount(), 200);
  HeldPort again(device->Path());  // the port was let go
  EXPECT_EQ(StartPackets(*device), 1);
}

protocol::InterfaceRecord Record(const std::string& port, uint16_t deviceId, uint8_t serial) {
  protocol::InterfaceRecord record;
  record.bootloaderVersion = 0x0101;
  record.deviceId = deviceId;
  record.portPath = port;
  record.serialLength = serial == 0 ? 0 : 1;
  record.serial[0] = serial;
  return record;
}

TEST(CliPieces, ChoosesDevices) {
  const std::vector<protocol::InterfaceRecord> found{Record("A", 0x3611, 1), Record("B", 0x3514, 2),
                                                     Record("C", 0x3611, 3),
                                                     Record("D", 0x3611, 0)};
  struct Case {
    cli::ChoiceRules rules;
    std::set<cli::UnitKey> exclude;
    std::string expected;  // verdict, chosen ports, skipped ports
  };
  const Case cases[] = {
      {{0x3611, "", false, false}, {}, "several  "},
      {{0x3611, "03", false, false}, {}, "chosen C "},
      {{0x3611, "02", false, false}, {}, "chosen B "},  // the update refuses the type
      {{0x3611, "02", false, true}, {}, "none  B"},
      {{0x3611, "FF", false, false}, {}, "none  "},
      {{0x3611, "", true, false}, {}, "chosen ACD B"},
      {{0x3611, "", true, false}, {{"A", "01"}, {"D", ""}}, "chosen C B"},
      {{0x3611, "", false, true}, {{"A", "01"}, {"C", "03"}}, "chosen D B"},
      {{0x3611, "01", false, true}, {{"C", "01"}}, "chosen A "},
  };
  for (const Case& c : cases) {
    const cli::Choice choice = cli::ChooseDevices(found, c.rules, c.exclude);
    std::string got = choice.verdict == cli::Choice::Verdict::Chosen    ? "chosen "
                      : choice.verdict == cli::Choice::Verdict::Several ? "several "
                                                                        : "none ";
    for (const auto& record : choice.chosen) {
      got += record.portPath;
    }
    got += ' ';
    for (const auto& record : choice.skipped) {
      got += record.portPath;
    }
    EXPECT_EQ(got, c.expected) << c.rules.serial << " " << c.rules.all << c.rules.typeMustMatch;
  }
}

TEST(CliPieces, ProgressBoardRedrawsItsRowOnATerminal) {
  std::FILE* out = std::tmpfile();
  ASSERT_NE(out, nullptr);
  {
    cli::ProgressBoard board(out, {"/dev/ttyACM0 01", "/dev/ttyACM1 02"}, true);
    cli::BoardFeedback second(board, 1);
    second.SetProgressRange(4);
    for (int i = 0; i < 4; ++i) {
      second.StepProgress();
    }
    second.AddStatus("RUN application.", false);
  }
  std::rewind(out);
  std::string text;
  for (int c = std::fgetc(out); c != EOF; c = std::fgetc(out)) {
    text += static_cast<char>(c);
  }
  std::fclose(out);
  EXPECT_EQ(text.find("/dev/ttyACM0 01 [                              ] 0/0\n"), 0u) << text;
  // Row 1 of 2 is one line above the cursor: up 1, rewrite, clear the rest, down 1.
  EXPECT_NE(text.find("\x1b[1A\r/dev/ttyACM1 02 [##############################] 4/4  RUN "
                      "application.\x1b[K\x1b[1B\r"),
            std::string::npos)
      << text;
}

TEST(CliPieces, RescanSparesSilentPortsAndTellsFailuresOnce) {
  testing::TempDir dir;
  auto talking = testing::StartDevice(testing::Device(0x3611));
  auto silent = testing::StartDevice(testing::Device(0x3611),
                                     {{sim::Fault::Silent, sim::PacketKind::Identify, -1}});
  cli::Rescanner scanner({talking->Path(), silent->Path(), (dir / "ttyMissing").string()});
  std::vector<std::size_t> failuresTold;
  for (int round = 0; round < 8; ++round) {
    scanner.Scan();
    failuresTold.push_back(scanner.NewFailures().size());
    EXPECT_EQ(scanner.Interfaces().Count(), 1u);
  }
  EXPECT_EQ(talking->Snapshot().Packets().size(), 8u);
  // Probed in rounds 1, 3 and 7: after its first silence every second round, then every fourth.
  EXPECT_EQ(silent->Snapshot().Packets().size(), 3u);
  EXPECT_EQ(failuresTold, (std::vector<std::size_t>{1, 0, 0, 0, 0, 0, 0, 0}));
  EXPECT_EQ(scanner.CurrentFailures().size(), 1u);
}

// lumaflash-sim --tty serves on a tty it did not make (in the USB check, a gadget's port): here
// a pseudo-terminal's far end, with the test writing on its near end as the host would.
TEST(SimOnTty, AnswersOnTheGivenTtyAndReportsAfterItHangsUp) {
  testing::TempDir dir;
  testing::RawPty line;
  testing::RunningProgram sim({LUMAFLASH_SIM_PATH, "--tty", line.Path(), "--type", "4801"},
                              dir.Path());
  std::vector<uint8_t> reply;
  for (int attempt = 0; attempt < 25 && reply.empty(); ++attempt) {
    line.Send({protocol::kIdentify});  // again until the device has opened the tty
    reply = line.Received();
  }
  ASSERT_GE(reply.size(), protocol::kMinIdentifyReply);
  protocol::InterfaceRecord record;
  protocol::ParseIdentifyReply(reply, 1, record);
  EXPECT_EQ(record.deviceId, 0x4801);
  line.HangUp();
  sim.Signal(SIGTERM);
  auto report = sim.Finish();
  EXPECT_EQ(report.exitCode, 0) << report.err;
  EXPECT_NE(report.out.find(line.Path() + ": "), std::string::npos) << report.out;
  EXPECT_NE(report.out.find("run no"), std::string::npos) << report.out;

  for (auto [args, exitCode, message] :
       {std::tuple{std::vector<std::string>{"--tty", "/dev/null"}, 1, "cannot serve on /dev/null"},
        std::tuple{std::vector<std::string>{"--tty", line.Path(), "--count", "2"}, 2,
                   "--count does not go with it; see lumaflash-sim --help"}}) {
    args.insert(args.begin(), LUMAFLASH_SIM_PATH);
    auto result = testing::RunProgram(args, dir.Path());
    EXPECT_EQ(result.exitCode, exitCode);
    EXPECT_NE(result.err.find(message), std::string::npos) << result.err;
  }
}

}  // namespace
}  // namespace lumaflash
