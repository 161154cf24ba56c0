// An update attempt in the window, the same for every face: its failures told in order, as they
// happen, with the window left open and no stamp; and its record, the same as the command line
// leaves of the same attempt.
#include <gtest/gtest.h>

#include <algorithm>
#include <csignal>
#include <regex>

#include "core/platform/text_path.h"
#include "core/records/questions.h"
#include "core/records/record_fields.h"
#include "sim/image_file.h"
#include "tests/support/read_file.h"
#include "tests/support/run_program.h"
#include "tests/support/window_bench.h"

namespace lumaflash::app {
namespace {

using testing::PrintTo;
using Bench = WindowBench;

// What else stands in the update's way: another program that holds the port until the window
// tells that it waits for it, one that holds it exclusively, or an empty image.
enum class Trouble { None, Holder, Busy, EmptyImage };

// The window's failure paths, for both faces at once: a device of 80 blocks, an image chosen in
// the file dialog, and one thing going wrong.
struct FailurePath {
  const char* name = "";
  std::vector<sim::FaultPlan> faults = {};
  bool readOnlySettings = false;  // made read-only after the scan, before the update
  uint32_t closeAt = UINT32_MAX;  // the close button is pressed when the bar reaches this block
  // Every status line after the scan, in order (IMAGE, PORT and INI stand for the paths, HOLDER
  // for the other program), and those that sounded the alert.
  std::vector<std::string> lines = {}, alerted = {};
  bool imageComplete = false;  // the device took the whole image and was started
  int closed = 0;              // times the window ended
  Trouble trouble = Trouble::None;
};

class WindowFailure : public ::testing::TestWithParam<FailurePath> {};

// `lines` with the names in them replaced by their values. A line ending in "*" is matched up to
// there against the line `shown` at its place, for what the driver reported may differ.
std::vector<std::string> Expanded(std::vector<std::string> lines,
                                  const std::vector<std::pair<std::string, std::string>>& names,
                                  const std::vector<std::string>& shown) {
  for (std::size_t i = 0; i < lines.size(); ++i) {
    for (const auto& [name, value] : names) {
      for (std::size_t at; (at = lines[i].find(name)) != std::string::npos;) {
        lines[i].replace(at, name.size(), value);
      }
    }
    if (i < shown.size() && lines[i].ends_with('*') &&
        shown[i].starts_with(lines[i].substr(0, lines[i].size() - 1))) {
      lines[i] = shown[i];
    }
  }
  return lines;
}

TEST_P(WindowFailure, ToldInOrderAndTheWindowStaysOpenWithoutAStamp) {
  const FailurePath& c = GetParam();
  Bench bench({});
  auto device = testing::StartDevice(testing::Device(0x3514, 64), c.faults);
  bench.setup.ports = {device->Path()};
  const std::vector<uint8_t> payload = sim::PatternPayload(80 * 64, 5);
  const std::string image = bench.dir
                                .Write("fw.bin", c.trouble == Trouble::EmptyImage
                                                     ? std::vector<uint8_t>{}
                                                     : sim::BuildImageFile(1, 0x3514, payload))
                                .string();
  const std::filesystem::path ini = bench.dir / "Lumaflash.ini";
  const std::string before = "[APP]\nLAST_DEVICE=351405122026\n";
  testing::WriteBytes(ini, before);
  // The holder lets go once the window has told that it waits, which it must tell while it waits.
  std::unique_ptr<testing::RunningProgram> holder;
  if (c.trouble == Trouble::Holder) {
    holder = testing::HoldPort(bench.dir.Path(), device->Path());
    ASSERT_NE(holder, nullptr);
    bench.view.onLine = [&](const std::string& line) {
      if (line.find("waiting up to") != std::string::npos) {
        holder->Signal(SIGKILL);
      }
    };
  }
  bench.Open();
  serial::PortLink exclusive;
  ASSERT_TRUE(c.trouble != Trouble::Busy ||
              exclusive.OpenPort(serial::PortAddress{1, device->Path()}));
  if (c.readOnlySettings) {
    std::filesystem::permissions(ini, std::filesystem::perms::owner_read);
  }
  bench.view.history.clear();
  bench.view.alerted.clear();
  bench.view.closeAt = c.closeAt;
  bench.view.fileAnswer = image;
  bench.controller->OnFirmwareUpdate();
  bench.view.Settle(*bench.controller);
  const std::vector<std::pair<std::string, std::string>> names{
      {"IMAGE", image},
      {"PORT", device->Path()},
      {"INI", ini.string()},
      {"HOLDER", holder ? testing::HolderName(*holder) : ""}};
  const std::vector<std::string> lines = Expanded(c.lines, names, bench.view.history);
  const std::vector<std::string> alerted = Expanded(c.alerted, names, {});
  EXPECT_EQ(bench.view.history, lines);
  EXPECT_EQ(bench.view.alerted, alerted);
  // The wait cursor came after the file dialog and stayed while the bar moved; the arrow is back.
  EXPECT_TRUE(bench.view.movedUnderArrow == 0 && !bench.view.waiting && bench.view.inputEnabled);
  EXPECT_EQ(bench.view.closePressedWhileHeld, c.closeAt == UINT32_MAX ? 0 : 1);
  EXPECT_EQ(bench.view.closed, c.closed);
  EXPECT_EQ(testing::ReceivedExactly(*device, payload), c.imageComplete);
  const bool stamped =
      testing::ReadWholeFile(ini).find("LAST_DEVICE=351406122026") != std::string::npos;
  EXPECT_EQ(stamped, c.closed == 1);
}

const std::string kNoSuchPort =
    "PORT: no such port. Check the cable and that the device is in bootloader mode, then try "
    "again.";
const std::string kBusy =
    "PORT is busy: another program holds it. Close that program and try again.";
const std::string kSettingsReadOnly =
    "The settings file \"INI\" is read-only; settings were not saved. Make it writable to keep "
    "settings.";

// clang-format off
INSTANTIATE_TEST_SUITE_P(Window, WindowFailure, ::testing::Values(
    FailurePath{.name = "TimeoutAtBlock17Of80",
                .faults = {{sim::Fault::Silent, sim::PacketKind::Block, 16}},
                .lines = {"Timeout on write data !", "1 Interfaces found", "Last file: IMAGE"},
                .alerted = {"Timeout on write data !", "Last file: IMAGE"}},
    // The detail comes first, so the failure's own line stays in the three-line list.
    FailurePath{.name = "DeviceVanishesMidway",
                .faults = {{sim::Fault::Vanish, sim::PacketKind::Block, 40}},
                .lines = {"PORT vanished: the device was unplugged or reset. Plug it in again and "
                          "retry. (*",
                          "Timeout on write data !", "0 Interfaces found", kNoSuchPort},
                .alerted = {"Timeout on write data !", kNoSuchPort}},
    FailurePath{.name = "PortBusyAtTheUpdate",
                .lines = {kBusy, "Error while open USB port !", "0 Interfaces found", kBusy},
                .alerted = {"Error while open USB port !", kBusy}, .trouble = Trouble::Busy},
    // The wait for another program is told while it lasts, not when the update has ended.
    FailurePath{.name = "AnotherProgramHoldsThePortAndLetsGo",
                .lines = {"HOLDER has PORT open; waiting up to 10 s for it to let go",
                          "Write data complete. (IMAGE)", "RUN application.",
                          "0 Interfaces found"},
                .imageComplete = true, .closed = 1, .trouble = Trouble::Holder},
    // An empty image is refused as on the command line; nothing is sent.
    FailurePath{.name = "EmptyImage",
                .lines = {"Firmware file \"IMAGE\" is empty. Choose a firmware image (.bin).",
                          "1 Interfaces found", "Last file: IMAGE"},
                .alerted = {"Firmware file \"IMAGE\" is empty. Choose a firmware image (.bin).",
                            "Last file: IMAGE"},
                .trouble = Trouble::EmptyImage},
    // Nothing happens until the update ends: it completes, and only its success ends the window.
    FailurePath{.name = "ClosePressedDuringTheUpdate", .closeAt = 40,
                .lines = {"Write data complete. (IMAGE)", "RUN application.", "0 Interfaces found"},
                .imageComplete = true, .closed = 1},
    // The update counts; the window stays open so that the operator reads why nothing was kept.
    FailurePath{.name = "SettingsReadOnlyBetweenScanAndUpdate", .readOnlySettings = true,
                .lines = {kSettingsReadOnly, "Write data complete. (IMAGE)", "RUN application.",
                          "0 Interfaces found", kSettingsReadOnly},
                .alerted = {kSettingsReadOnly, kSettingsReadOnly}, .imageComplete = true}),
    [](const ::testing::TestParamInfo<FailurePath>& row) { return std::string(row.param.name); });
// clang-format on

// One way an attempt ends, made to happen once through the command line and once through the
// window, on devices alike, through the same port name and from the same image file.
struct Ending {
  const char* name;
  sim::DeviceConfig device = testing::Unit(7, 0x3514);
  std::vector<sim::FaultPlan> faults = {};
  uint16_t imageType = 0x3514;  // 0: an image cut short after the command line checked it
  bool stop = false;            // stopped (Ctrl+C, the window's stop) once 5 blocks are in
  std::string result = "ok";
  std::optional<int64_t> failedBlock = std::nullopt;  // unless stopped, whose block is timing's
};

class SameRecord : public ::testing::TestWithParam<Ending> {};

records::Record OnlyRecord(const std::filesystem::path& store) {
  std::vector<records::Record> found;
  auto questions = records::LocalQuestions(store);
  EXPECT_TRUE(questions) << records::Describe(questions.error());
  if (questions) {
    EXPECT_TRUE((*questions)->List({}, 0, 0, [&found](const records::Record& record) {
      found.push_back(record);
      return true;
    }));
  }
  EXPECT_EQ(found.size(), 1u);
  return found.empty() ? records::Record{} : found.front();
}

// An image to be spoilt is spoilt while the command line waits for the device (--wait), after
// its first check, so that the spoilt image reaches the attempt.
records::Record ThroughTheCommandLine(const Ending& e, const std::filesystem::path& dir,
                                      const std::string& image, const std::string& port,
                                      std::string& said) {
  auto device = testing::StartDevice(e.device, e.faults);
  const auto store = dir / "cli.sqlite";
  const bool spoil = e.imageType == 0;
  if (!spoil) {
    std::filesystem::create_symlink(device->Path(), port);
  }
  testing::RunningProgram cli({LUMAFLASH_CLI_PATH, "flash", image, "--port", port, "--records",
                               store.string(), "--station", "cli", spoil ? "--wait" : "--json"},
                              dir);
  if (spoil) {
    EXPECT_TRUE(cli.WaitForOutput("Waiting for a device"));
    std::filesystem::resize_file(image, 20);
    std::filesystem::create_symlink(device->Path(), port);
  }
  if (e.stop) {
    EXPECT_TRUE(testing::WaitFor([&] { return device->Snapshot().BlockCount() >= 5; }));
    cli.Signal(SIGINT);
  }
  said = cli.Finish().out;
  std::filesystem::remove(port);
  return OnlyRecord(store);
}

records::Record ThroughTheWindow(const Ending& e, const std::string& image, const std::string& port,
                                 std::vector<std::string>& said) {
  auto device = testing::StartDevice(e.device, e.faults);
  std::filesystem::create_symlink(device->Path(), port);
  Bench bench({}, {port});
  bench.view.fileAnswer = image;
  bench.Open();
  bench.controller->OnFirmwareUpdate();
  if (e.stop) {
    bench.view.Settle(*bench.controller, [&] {
      return !bench.view.progress.empty() && bench.view.progress.back().second >= 5;
    });
    bench.controller->OnStopRequested();
  }
  bench.view.Settle(*bench.controller);
  said = bench.view.history;
  return OnlyRecord(bench.dir / "records.sqlite");
}

// Both faces leave the same record of the same attempt, apart from its id, times and station;
// every text in it is well-formed UTF-8 (the image's name is not), the image is named by its
// absolute path, and a control character in it is shown escaped, never sent to a terminal.
TEST_P(SameRecord, FromTheCommandLineAndTheWindow) {
  const Ending& e = GetParam();
  testing::TempDir dir;
  const std::string port = (dir / "ttyLF0").string();
  const std::string image = dir.Write(
                                   "L\xfc"
                                   "fter \x1b[2J.bin",
                                   sim::BuildImageFile(1, e.imageType == 0 ? 0x3514 : e.imageType,
                                                       sim::PatternPayload(20 * 64, 9)))
                                .string();
  std::string printed;
  std::vector<std::string> shown;
  const records::Record cli = ThroughTheCommandLine(e, dir.Path(), image, port, printed);
  const records::Record window = ThroughTheWindow(e, image, port, shown);
  EXPECT_EQ(cli.result, e.result);
  EXPECT_TRUE(e.stop || cli.failedBlock == e.failedBlock) << cli.failedBlock.value_or(-1);
  EXPECT_EQ(cli.imagePath, platform::WellFormedUtf8(image));
  EXPECT_EQ(cli.station + window.station, "cliwindow");
  for (const records::Record& record : {cli, window}) {
    EXPECT_TRUE(std::regex_match(record.id, std::regex("[0-9a-f]{8}-[0-9a-f]{4}-7[0-9a-f]{3}-"
                                                       "[89ab][0-9a-f]{3}-[0-9a-f]{12}")))
        << record.id;
    EXPECT_LE(record.startedAtMs, record.endedAtMs);
  }
  for (const records::RecordField& field : records::kRecordFields) {
    const std::optional<std::string> text = records::FieldText(cli, field);
    EXPECT_TRUE(!text || platform::IsValidUtf8(*text)) << field.key;
    const bool timing = field.key == "startedAt" || field.key == "endedAt" ||
                        field.key == "durationMs" || (e.stop && field.key == "failedBlock");
    if (!timing && field.key != "id" && field.key != "station") {
      EXPECT_EQ(text, records::FieldText(window, field)) << field.key;
    }
  }
  EXPECT_EQ(printed.find('\x1b'), std::string::npos) << printed;
  EXPECT_TRUE(std::ranges::none_of(
      shown, [](const std::string& line) { return line.find('\x1b') != std::string::npos; }));
}

// clang-format off
INSTANTIATE_TEST_SUITE_P(Endings, SameRecord, ::testing::Values(
    Ending{.name = "Ok"},
    Ending{.name = "WrongDevice", .imageType = 0x3409, .result = "wrong-device"},
    Ending{.name = "WrongBootloader",
           .device = [] { auto d = testing::Unit(7, 0x3514); d.bootloaderVersion = 0x0102;
                          return d; }(),
           .result = "wrong-bootloader"},
    Ending{.name = "FailureAtBlock17", .faults = {{sim::Fault::Silent, sim::PacketKind::Block, 16}},
           .result = "write-failed", .failedBlock = 17},
    Ending{.name = "Vanished", .faults = {{sim::Fault::Vanish, sim::PacketKind::Block, 5}},
           .result = "write-failed", .failedBlock = 6},
    Ending{.name = "Interrupted", .device = testing::Unit(7, 0x1234), .imageType = 0x1234,
           .stop = true,
           .result = "interrupted"},
    Ending{.name = "ImageUnusable", .imageType = 0, .result = "image-unusable"}),
    [](const auto& row) { return std::string(row.param.name); });
// clang-format on

}  // namespace
}  // namespace lumaflash::app
