// The main window's rules, once for every face: the controller against a view that records
// what it is told, with simulated devices on pseudo-terminals and a real settings file.
#include "app/controller/window_controller.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <optional>

#include "app/controller/window_options.h"
#include "core/protocol/identify.h"
#include "core/serial/port.h"
#include "sim/image_file.h"
#include "tests/support/fake_system.h"
#include "tests/support/raw_pty.h"
#include "tests/support/read_file.h"
#include "tests/support/window_bench.h"

namespace lumaflash::app {
namespace {

using testing::PrintTo;
using Bench = WindowBench;

// Each port's probe moves the bar by one as it ends; the scan leaves the bar empty. The bar is
// drawn at set-up, then each of three scans draws its range, its start and a step per port.
void ExpectThreeScansOnTheBar(const RecordingView& view, uint32_t ports) {
  std::vector<uint32_t> expected{0};
  for (uint32_t step = 0, at = 0; step < 3 * (ports + 3); at = ++step % (ports + 3)) {
    expected.push_back(at < 2 || at == ports + 2 ? 0 : at - 1);
  }
  std::vector<uint32_t> positions;
  for (const auto& [upper, position] : view.progress) {
    positions.push_back(position);
    EXPECT_EQ(upper, positions.size() == 1 ? 1 : ports);
  }
  EXPECT_EQ(positions, expected);
}

TEST(WindowController, ScanFillsListStatusAndProgress) {
  // extraPort, after the devices: a silent one (""), one that is gone, or one that another
  // program holds ("busy"); rows: device|version|serial; lines: parts of the status lines after
  // set-up and two more Finds; logged: a part of the scan log (Ctrl+D).
  // clang-format off
  struct Case { const char* name = ""; std::vector<uint16_t> types{0x3514};
    std::vector<const char*> extraPort{};
    std::vector<std::string> rows{"Lumetta A|1.05|0A14"}, lines{};
    std::size_t alerts = 0; std::string logged{}; };
  const Case cases[] = {
      {.name = "a port with no device", .types = {}, .extraPort = {""}, .rows = {},
       .lines = {"0 Interfaces found", "0 Interfaces found", "0 Interfaces found"}},
      {.name = "three", .types = {0x3514, 0x9999, 0x3711},
       .rows = {"Lumetta A|1.05|0A14", "Unknown device|1.05|Not available", "Lumetta C|1.05|0A11"},
       .lines = {"3 Interfaces found", "3 Interfaces found", "3 Interfaces found"}},
      {.name = "a named port that is gone", .extraPort = {"-gone"},
       .lines = {"-gone: ", "1 Interfaces found", "-gone: "}, .alerts = 3},
      // Every port is probed at once; one that is busy is told and logged, not taken for empty.
      {.name = "a named port that is busy", .extraPort = {"busy"},
       .lines = {" is busy", "1 Interfaces found", " is busy"}, .alerts = 3, .logged = " failed: "},
  };
  // clang-format on
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    testing::RawPty silent;
    std::vector<std::string> extra;
    serial::PortLink holder;
    for (const std::string suffix : c.extraPort) {
      extra.push_back(silent.Path() + (suffix == "busy" ? "" : suffix));
      ASSERT_TRUE(suffix != "busy" || holder.OpenPort(serial::PortAddress{1, silent.Path()}));
    }
    Bench bench(c.types, extra);
    bench.Open();
    bench.controller->OnFind();
    bench.controller->OnFind();  // ignored: the first Find still runs
    bench.view.Settle(*bench.controller);
    bench.controller->OnFind();
    bench.view.Settle(*bench.controller);
    EXPECT_EQ(bench.view.rows, c.rows);
    for (std::size_t i = 0; i < bench.view.tooltips.size(); ++i) {
      EXPECT_EQ(bench.view.tooltips[i], "Port: " + bench.devices[i]->Path() + "\nUSB: none");
    }
    EXPECT_EQ(bench.view.selected, c.rows.empty() ? std::vector<int>{} : std::vector<int>{0});
    ASSERT_EQ(bench.view.lines.size(), 3u);
    for (std::size_t i = 0; i < 3; ++i) {
      EXPECT_NE(bench.view.lines[i].find(c.lines[i]), std::string::npos) << bench.view.lines[i];
    }
    EXPECT_EQ(bench.view.alerted.size(), c.alerts);
    ExpectThreeScansOnTheBar(bench.view, static_cast<uint32_t>(c.types.size() + extra.size()));
    EXPECT_EQ(bench.view.useLast, std::make_pair(false, false));
    EXPECT_TRUE(!bench.view.waiting && bench.view.inputEnabled && bench.view.timers.empty());
    if (!c.logged.empty()) {
      bench.controller->OnKey(Key::D, true);
      EXPECT_NE(bench.view.messages.back().find(extra.at(0) + c.logged), std::string::npos)
          << bench.view.messages.back();
    }
  }
}

// One press of Firmware-Update (or the automatic repeat). IMAGE stands for the image's path.
// tick: the operator clicks the box before the update; confirm: the file dialog answers with the
// image, or is cancelled; asked: the dialog's initial name, "" not shown, PATTERN for DIR/*.bin,
// HANDED for the image handed to the window (dimmer.bin: lumaflash dimmer.bin, Open with, a drop
// on the program); updated: the device that took the image, -1 none; alerted: the status lines
// that sounded the alert; ini: parts of the settings file afterwards. A field a row leaves out:
// one device of type 3514, selected, a 5120-byte image for it, no settings, nothing updated.
struct Command {
  const char* name = "";
  std::vector<uint16_t> types{0x3514};
  uint16_t imageType = 0x3514;
  std::string settings{};
  std::vector<int> selected{0};
  std::optional<bool> tick{};
  bool confirm = false;
  std::string asked{};
  int updated = -1;
  std::size_t length = 5120;
  std::vector<std::string> alerted{}, ini{};
};

class UpdateCommand : public ::testing::TestWithParam<Command> {
 protected:
  std::string Expand(std::string text) const {
    for (std::size_t at; (at = text.find("IMAGE")) != std::string::npos;) {
      text.replace(at, 5, m_image);
    }
    return text == "PATTERN"  ? (m_bench.dir / "*.bin").string()
           : text == "HANDED" ? (m_bench.dir / "dimmer.bin").string()
                              : text;
  }

  // Opens the window on the case's settings and presses Firmware-Update, or lets timer 1 do it
  // while a Find runs; true when the automatic repeat was armed.
  bool Press(const Command& c) {
    m_image = m_bench.dir.Write("fw.bin", sim::BuildImageFile(1, c.imageType, m_payload)).string();
    testing::WriteBytes(m_bench.dir / "Lumaflash.ini", Expand(c.settings));
    m_bench.setup.handedImage = c.asked == "HANDED" ? Expand(c.asked) : "";
    m_bench.Open();
    m_bench.view.selected = c.selected;
    if (c.tick) {
      m_bench.controller->OnUseLastToggled(*c.tick);
    }
    m_bench.view.fileAnswer = c.confirm ? std::optional(m_image) : std::nullopt;
    m_bench.view.progress.clear();
    m_bench.view.alerted.clear();
    m_bench.view.heldWhileDrawn = true;
    const bool armed = m_bench.controller->AutoRepeatArmed();
    if (armed) {  // its tick comes during a Find: the update waits for the scan's end
      m_bench.controller->OnFind(), m_bench.controller->OnTimer(2), m_bench.controller->OnTimer(1);
    } else {
      m_bench.controller->OnFirmwareUpdate();
    }
    if (m_bench.controller->IsBusy()) {
      m_bench.controller->OnFirmwareUpdate();  // ignored while a command runs, as is Ctrl+D
      m_bench.controller->OnKey(Key::D, true);
    }
    m_bench.view.Settle(*m_bench.controller);
    return armed;
  }

  void CheckDialogAndDevices(const Command& c) {
    ASSERT_EQ(m_bench.view.requests.size(), c.asked.empty() ? 0u : 1u);
    for (const FileRequest& asked : m_bench.view.requests) {
      const std::string name = std::filesystem::path(Expand(c.asked)).filename().string();
      EXPECT_EQ(asked.initialName + "|" + asked.directory + "|" + asked.fileName,
                Expand(c.asked) + "|" + m_bench.dir.Path().string() + "|" +
                    (c.asked == "PATTERN" ? "" : name));
    }
    for (std::size_t i = 0; i < m_bench.devices.size(); ++i) {
      EXPECT_EQ(testing::ReceivedExactly(*m_bench.devices[i], m_payload),
                static_cast<int>(i) == c.updated)
          << "device " << i;
    }
    EXPECT_EQ(m_bench.view.closed, c.updated >= 0 ? 1 : 0);
  }

  void CheckBar(const Command& c) const {
    // After the file dialog the arrow is back before the bar moves, and the bar counted the
    // blocks while the window took no input. The range is the blocks rounded up: an image
    // smaller than one block has a range of 1, and its bar ends full.
    EXPECT_TRUE(m_bench.view.heldWhileDrawn &&
                (c.asked.empty() || m_bench.view.movedUnderArrow == 0));
    const auto blocks = static_cast<uint32_t>((c.length + 511) / 512);
    EXPECT_GE(std::ranges::count(m_bench.view.progress, std::make_pair(blocks, blocks)), 1);
  }

  Bench m_bench{GetParam().types};
  std::vector<uint8_t> m_payload = sim::PatternPayload(GetParam().length, 7);
  std::string m_image;
};

TEST_P(UpdateCommand, DoesWhatTheSelectionTheBoxAndTheSettingsSay) {
  const Command& c = GetParam();
  const bool armed = Press(c);
  // A handed file starts nothing by itself.
  EXPECT_FALSE(armed && c.asked == "HANDED");
  using Timers = std::vector<std::pair<int, long long>>;
  EXPECT_EQ(m_bench.view.timers, (armed ? Timers{{1, 100}, {1, -1}} : Timers{}));
  CheckDialogAndDevices(c);
  std::vector<std::string> alerted(c.alerted.size());
  std::ranges::transform(c.alerted, alerted.begin(), [this](auto line) { return Expand(line); });
  EXPECT_EQ(m_bench.view.alerted, alerted);
  for (const std::string ini = testing::ReadWholeFile(m_bench.dir / "Lumaflash.ini");
       const std::string& part : c.ini) {
    EXPECT_NE(ini.find(Expand(part)), std::string::npos) << ini;
  }
  EXPECT_TRUE(m_bench.view.messages.empty() && !m_bench.view.waiting && m_bench.view.inputEnabled);
  // Each update attempt leaves one record, a refused image too; no attempt, no record.
  const bool refused = c.imageType != c.types.front() && !c.alerted.empty();
  EXPECT_EQ(m_bench.RecordedResults(), c.updated >= 0
                                           ? std::vector<std::string>{"ok"}
                                           : (refused ? std::vector<std::string>{"wrong-device"}
                                                      : std::vector<std::string>{}));
  if (c.asked == "HANDED") {  // later updates follow the settings again: no dialog
    m_bench.controller->OnUseLastToggled(true);
    m_bench.controller->OnFirmwareUpdate();
    m_bench.view.Settle(*m_bench.controller);
    EXPECT_TRUE(m_bench.view.requests.size() == 1 && m_bench.view.closed == 1);
  }
  if (c.updated >= 0) {
    CheckBar(c);
  }
}

const std::string kLastAndUse = "[3514]\nLAST_OPEN=IMAGE\nUSE_LAST_AGAIN=1\n";

// clang-format off
INSTANTIATE_TEST_SUITE_P(Window, UpdateCommand, ::testing::Values(
    Command{.name = "NothingSelected", .selected = {}, .confirm = true,
            .alerted = {"Wrong interface selection !"}},
    Command{.name = "TwoSelected", .types = {0x3514, 0x3711}, .selected = {0, 1}, .confirm = true,
            .alerted = {"Wrong interface selection !"}},
    Command{.name = "FileDialogCancelled", .asked = "PATTERN", .ini = {"[3514]\nUSE_LAST_AGAIN=0"}},
    Command{.name = "FileDialogConfirmed", .confirm = true, .asked = "PATTERN", .updated = 0,
            .ini = {"USE_LAST_AGAIN=0\nLAST_OPEN=IMAGE", "LAST_DEVICE=351406122026"}},
    Command{.name = "SecondOfTwoUsesItsOwnSection", .types = {0x3514, 0x3711}, .imageType = 0x3711,
            .settings = "[3711]\nLAST_OPEN=IMAGE\n", .selected = {1}, .confirm = true,
            .asked = "IMAGE", .updated = 1,
            .ini = {"[3711]\nLAST_OPEN=IMAGE\nUSE_LAST_AGAIN=0", "LAST_DEVICE=371106122026"}},
    Command{.name = "YesterdaysStampTheTickedBoxUsesTheLastImageOnAClick",
            .settings = kLastAndUse + "[APP]\nLAST_DEVICE=351405122026\n", .updated = 0,
            .ini = {"USE_LAST_AGAIN=1"}},
    // Smaller than one block: the bar's range is 1, never 0 (which would show busy).
    Command{.name = "TodaysStampTimer1StartsTheUpdate",
            .settings = kLastAndUse + "[APP]\nLAST_DEVICE=351406122026\n", .updated = 0,
            .length = 300, .alerted = {"Last file: IMAGE"},  // the Find's recall
            .ini = {"USE_LAST_AGAIN=1"}},
    Command{.name = "TickedBoxWithoutARecalledImageAsks", .types = {0x3514, 0x3711}, .tick = true,
            .asked = "PATTERN", .ini = {"USE_LAST_AGAIN=0"}},
    Command{.name = "UntickedBoxAsksAgain", .settings = kLastAndUse, .tick = false,
            .asked = "IMAGE", .ini = {"USE_LAST_AGAIN=0"}},
    Command{.name = "ImageForAnotherType", .imageType = 0x3711, .confirm = true, .asked = "PATTERN",
            .alerted = {"Firmware file is not for selected device!", "Last file: IMAGE"},
            .ini = {"LAST_OPEN=IMAGE"}},
    // The first update confirms a handed image in the dialog even when the last would be used.
    // Handing a file changes no setting and starts nothing the operator did not click.
    Command{.name = "HandedImageBoxTickedCancelled", .settings = kLastAndUse, .asked = "HANDED",
            .ini = {"USE_LAST_AGAIN=1"}},
    Command{.name = "HandedImageTodaysStampNothingStartsByItself",
            .settings = kLastAndUse + "[APP]\nLAST_DEVICE=351406122026\n", .asked = "HANDED",
            .ini = {"USE_LAST_AGAIN=1"}}),
    [](const auto& row) { return std::string(row.param.name); });
// clang-format on

TEST(WindowController, KeysAndSystemCommands) {
  Bench bench({0x3514});
  bench.Open();
  WindowController& w = *bench.controller;
  std::string got;  // per action: taken or not, and the messages shown so far (scan log, About)
  const auto note = [&](bool taken) {
    got += (taken ? "T" : "-") + std::to_string(bench.view.messages.size()) + " ";
  };
  for (const auto& [key, ctrl] :
       {std::pair{Key::Escape, false}, std::pair{Key::Enter, true}, std::pair{Key::D, false},
        std::pair{Key::Other, true}, std::pair{Key::D, true}}) {
    note(w.OnKey(key, ctrl));
  }
  for (unsigned id : {15u, 16u, 31u, 32u}) {
    note(w.OnSysCommand(id));
  }
  w.OnTimer(1);  // starts an update only when the automatic repeat armed it
  EXPECT_EQ(got, "T0 T0 -0 -0 T1 -1 T2 T3 -3 ");
  bench.view.Settle(*bench.controller);
  EXPECT_EQ(bench.view.messages[0].rfind("Find Interface START\nOpen ", 0), 0u);
  EXPECT_NE(bench.view.messages[0].find("   Target Device: 3514\n"), std::string::npos);
  EXPECT_EQ(bench.view.messages[0].find('\r'), std::string::npos);
  EXPECT_EQ(bench.view.messages[2], "About");
  EXPECT_TRUE(bench.view.closed == 0 && bench.view.requests.empty() && bench.view.alerted.empty());
}

// Both faces start through one start-up, so --usb reaches the scan of each: only the port of the
// named USB device gets the identify byte (lumaflash.exe once dropped the filter).
TEST(WindowController, StartedWithUsbProbesOnlyMatchingPorts) {
  for (const Face* face : {&kQtFace, &kWin32Face}) {
    SCOPED_TRACE(face->portName);
    Bench bench({});
    testing::FakeSystem system(bench.dir / "root");
    for (const auto& [name, bus, vid, pid] : {std::array{"ttyACM0", "1-2", "1209", "0001"},
                                              {"ttyACM1", "1-3", "1209", "0002"},
                                              {"ttyUSB0", "1-4", "0403", "6001"}}) {
      system.Tty(name, "usb1/" + std::string(bus) + "/" + bus + ":1.0");
      system.Attribute("devices/usb1/" + std::string(bus) + "/idVendor", vid);
      system.Attribute("devices/usb1/" + std::string(bus) + "/idProduct", pid);
      bench.devices.push_back(testing::StartDevice(testing::Device(0x3514)));
      system.Node(name, bench.devices.back()->Path());
    }
    const StartUp plan = PlanStartUp({"--usb", "1209:0001"}, *face);
    ASSERT_FALSE(plan.exitCode) << plan.text;
    bench.setup = SetupFor(plan.options, {}, bench.dir.Path());
    bench.Open();
    EXPECT_EQ(bench.view.rows.size(), 1u);
    EXPECT_NE(bench.view.tooltips.at(0).find("USB: 1209:0001"), std::string::npos);
    std::vector<bool> probed;
    for (const auto& device : bench.devices) {
      probed.push_back(!device->Snapshot().Packets().empty());
    }
    EXPECT_EQ(probed, (std::vector<bool>{true, false, false}));
  }
}

// Asked to stop (a signal, the session ending): idle, the window closes at once; mid-update,
// the update stops between two blocks with no run packet and no rescan, the attempt ends as
// interrupted with its status line, and then the window closes. Exit status 10 either way.
TEST(WindowController, StopRequestEndsTheWindowInOrder) {
  for (const bool updating : {false, true}) {
    SCOPED_TRACE(updating ? "mid-update" : "idle");
    Bench bench({0x3514});  // 10 ms per block: 200 blocks take two seconds
    bench.view.fileAnswer =
        bench.dir.Write("fw.bin", sim::BuildImageFile(1, 0x3514, sim::PatternPayload(102400, 7)))
            .string();
    bench.Open();
    if (updating) {
      bench.controller->OnFirmwareUpdate();
      bench.view.Settle(*bench.controller, [&] {
        return !bench.view.progress.empty() && bench.view.progress.back().second >= 2;
      });
    }
    bench.controller->OnStopRequested();
    bench.view.Settle(*bench.controller);
    EXPECT_EQ(bench.view.closed, 1);
    EXPECT_EQ(bench.controller->ExitStatus(), kInterruptedExit);
    EXPECT_EQ(bench.controller->LastAttempt(),
              updating ? std::optional(update::FlashResult::Interrupted) : std::nullopt);
    const sim::DeviceModel got = bench.devices[0]->Snapshot();
    EXPECT_TRUE(!got.RunReceived() && got.BlockCount() < 200);
    EXPECT_EQ(std::ranges::count(got.Packets(), std::vector<uint8_t>{protocol::kIdentify}), 1)
        << "probed again after the stop";
    const std::string interrupted = "Update interrupted: " + bench.devices[0]->Path();
    EXPECT_EQ(!bench.view.lines.empty() && bench.view.lines.back().starts_with(interrupted),
              updating);
  }
}

}  // namespace
}  // namespace lumaflash::app
