#include <gtest/gtest.h>

#include <csignal>
#include <fstream>
#include <regex>
#include <string>
#include <tuple>
#include <vector>

#include "protocol/identify.h"
#include "sim/image_file.h"
#include "support/raw_pty.h"
#include "support/read_file.h"
#include "support/run_program.h"
#include "support/sim_devices.h"
#include "support/temp_dir.h"

namespace lumaflash {
namespace {

testing::ProgramResult Cli(const testing::TempDir& dir, std::vector<std::string> args) {
  std::vector<std::string> argv;
  argv.reserve(args.size() + 1);
  argv.emplace_back(LUMAFLASH_CLI_PATH);
  for (std::string& arg : args) {
    argv.push_back(std::move(arg));
  }
  return testing::RunProgram(argv, dir.Path());
}

TEST(Cli, ScanListsASimulatedDeviceAsJson) {
  testing::TempDir dir;
  sim::DeviceConfig config = testing::Device(0x3514, 256);
  config.serial = {0x0a, 0x1b, 0xff};
  auto device = testing::StartDevice(config);
  auto result = Cli(dir, {"scan", "--port", device->Path(), "--json"});
  EXPECT_EQ(result.exitCode, 0) << result.err;
  EXPECT_EQ(result.out, "[{\"port\":\"" + device->Path() +
                            "\",\"portNumber\":1,\"deviceId\":\"3514\",\"bootloaderVersion\":"
                            "\"0100\",\"firmwareVersion\":\"0105\",\"infoTag\":\"0000\","
                            "\"blockSize\":256,\"serial\":\"0A1BFF\",\"usb\":null}]\n");
}

TEST(Cli, ScanTableAndTrace) {
  testing::TempDir dir;
  auto device = testing::StartDevice(testing::Device(0x1234));
  auto result = Cli(dir, {"scan", "--port", device->Path(), "--trace"});
  EXPECT_EQ(result.exitCode, 0);
  EXPECT_NE(result.out.find("Unknown device"), std::string::npos);
  EXPECT_NE(result.out.find("Not available"), std::string::npos);
  EXPECT_NE(result.out.find("1 Interfaces found\n"), std::string::npos);
  EXPECT_NE(result.out.find("Find Interface START\r\nOpen " + device->Path() + "\r\n"),
            std::string::npos);
  auto none = Cli(dir, {"scan", "--port", (dir / "ttyNone").string(), "--json"});
  EXPECT_EQ(none.exitCode, 0);
  EXPECT_EQ(none.out, "[]\n");
  EXPECT_NE(none.err.find("no such port"), std::string::npos);
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

TEST(Cli, FlashFailuresExitWithTheirCodes) {
  testing::TempDir dir;
  const auto good =
      dir.Write("good.bin", sim::BuildImageFile(1, 0x3514, sim::PatternPayload(1024, 1)));
  const auto other =
      dir.Write("other.bin", sim::BuildImageFile(1, 0x3409, sim::PatternPayload(64, 1)));
  const auto cut = dir.Write("cut.bin", std::vector<uint8_t>{1, 0x35, 0x14});
  struct Case {
    const char* name;
    std::vector<sim::FaultPlan> faults;
    std::filesystem::path image;
    int devices;
    int exitCode;
    std::string words;
  };
  const Case cases[] = {
      {"image truncated", {}, cut, 1, 3, "truncated"},
      {"no device answers",
       {{sim::Fault::Silent, sim::PacketKind::Identify, -1}},
       good,
       1,
       4,
       "no device in bootloader mode answered"},
      {"named port gone", {}, good, 0, 8, "no named port could be opened"},
      {"two devices", {}, good, 2, 5, "2 devices answered; nothing was sent"},
      {"wrong type",
       {},
       other,
       1,
       6,
       R"(Firmware file is not for selected device!\nlumaflash-cli: the image is for Lumetta B )"
       R"(\(type 3409\), but the device on .* is Lumetta A \(type 3514\))"},
      {"silent block",
       {{sim::Fault::Silent, sim::PacketKind::Block, 1}},
       good,
       1,
       9,
       "Timeout on write data !\nlumaflash-cli: the device on .* failed at block 2 of 2"},
      {"vanishes", {{sim::Fault::Vanish, sim::PacketKind::Start, 0}}, good, 1, 9, "vanished"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    std::vector<std::unique_ptr<sim::PtyDevice>> devices;
    std::vector<std::string> args{"flash", c.image.string()};
    for (int i = 0; i < c.devices; ++i) {
      devices.push_back(testing::StartDevice(testing::Device(0x3514), c.faults));
      args.insert(args.end(), {"--port", devices.back()->Path()});
    }
    if (c.devices == 0) {
      args.insert(args.end(), {"--port", (dir / "ttyGone").string()});
    }
    auto result = Cli(dir, args);
    EXPECT_EQ(result.exitCode, c.exitCode) << result.out << result.err;
    // Failures are told on standard error.
    EXPECT_TRUE(std::regex_search(result.err, std::regex(c.words))) << result.out << result.err;
    for (const auto& device : devices) {
      EXPECT_FALSE(device->Snapshot().RunReceived());
    }
  }
}

TEST(Cli, InfoDescribesAnImage) {
  testing::TempDir dir;
  const auto image =
      dir.Write("fw.bin", sim::BuildImageFile(2, 0x3611, std::vector<uint8_t>{'a', 'b', 'c'}));
  auto result = Cli(dir, {"info", image.string()});
  EXPECT_EQ(result.exitCode, 0) << result.err;
  EXPECT_NE(result.out.find("Header version: 2"), std::string::npos);
  EXPECT_NE(result.out.find("3611 (Tessel Four)"), std::string::npos);
  EXPECT_NE(result.out.find("Payload:        3 bytes"), std::string::npos);
  // SHA-256 of "abc".
  EXPECT_NE(result.out.find("ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad"),
            std::string::npos);
  auto bad = Cli(dir, {"info", (dir / "missing.bin").string()});
  EXPECT_EQ(bad.exitCode, 3);
  EXPECT_NE(bad.err.find("Cannot open firmware file"), std::string::npos);
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
