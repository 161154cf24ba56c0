// The main window's rules, once for every face: the controller against a view that records
// what it is told, with simulated devices on pseudo-terminals and a real settings file.
#include "app/controller/window_controller.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <csignal>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <regex>

#include "app/controller/window_options.h"
#include "core/platform/text_path.h"
#include "core/protocol/identify.h"
#include "core/records/record_fields.h"
#include "core/records/record_store.h"
#include "core/records/recorder.h"
#include "core/session/session.h"
#include "sim/image_file.h"
#include "tests/support/fake_system.h"
#include "tests/support/raw_pty.h"
#include "tests/support/read_file.h"
#include "tests/support/run_program.h"
#include "tests/support/sim_devices.h"
#include "tests/support/temp_dir.h"
#include "lumaflash_version.h"

namespace lumaflash::app {
namespace {

using testing::PrintTo;

class RecordingView : public WindowView {
 public:
  void ShowRows(const std::vector<ListRow>& shown, int chosen) override {
    rows = tooltips = {};
    for (const ListRow& row : shown) {
      rows.push_back(row.device + "|" + row.version + "|" + row.serial);
      tooltips.push_back(row.tooltip);
    }
    selected = chosen < 0 ? std::vector<int>{} : std::vector{chosen};
  }
  std::vector<int> SelectedRows() const override { return selected; }
  void ShowStatus(const std::vector<std::string>& shown) override {
    lines = shown;
    history.push_back(shown.empty() ? "" : shown.back());
    if (onLine) {
      onLine(history.back());
    }
  }
  void SoundAlert() override { alerted.push_back(lines.empty() ? "" : lines.back()); }
  void ShowProgress(uint32_t upper, uint32_t position) override {
    EXPECT_TRUE(upper > 0 && position <= upper) << position << " of " << upper;
    progress.emplace_back(upper, position);
    if (position == closeAt) {
      PressClose();
    }
    heldWhileDrawn = heldWhileDrawn && !inputEnabled;
    movedUnderArrow += position > 0 && !waiting ? 1 : 0;
  }
  void ShowWaitCursor(bool on) override { waiting = on; }
  void ShowUseLast(bool enabled, bool ticked) override { useLast = {enabled, ticked}; }
  void EnableInput(bool enabled) override { inputEnabled = enabled; }
  void StartTimer(int id, std::chrono::milliseconds ms) override {
    timers.emplace_back(id, ms.count());
  }
  void StopTimer(int id) override { timers.emplace_back(id, -1); }
  void CloseWindow() override { ++closed; }
  void ShowMessage(const std::string& text) override { messages.push_back(text); }
  void ShowAbout() override { messages.emplace_back("About"); }
  std::optional<std::string> ChooseFile(const FileRequest& request) override {
    requests.push_back(request);
    return fileAnswer;
  }
  void PostToFace() override {
    const std::lock_guard lock(mutex);
    ++posted, wake.notify_one();
  }

  // The close button, as a face handles it: while input is held back the press is dropped.
  void PressClose() {
    closePressedWhileHeld += inputEnabled ? 0 : 1;
    closed += inputEnabled ? 1 : 0;
  }

  // The face's event loop: delivers what the worker posts until the controller is idle (or,
  // given `until`, until that holds).
  void Settle(WindowController& controller, const std::function<bool()>& until = nullptr) {
    while (controller.IsBusy() && !(until && until())) {
      std::unique_lock lock(mutex);
      ASSERT_TRUE(wake.wait_for(lock, std::chrono::seconds(20), [&] { return posted > 0; }));
      posted = 0;
      lock.unlock();
      controller.DeliverPosted();
    }
  }

  // alerted: the newest status line at each alert tone; history: every line as it was added;
  // timers: id and interval, -1 stopped.
  std::vector<std::string> rows, tooltips, lines, alerted, messages, history;
  uint32_t closeAt = UINT32_MAX;  // the operator presses close when the bar reaches this
  int closePressedWhileHeld = 0;
  std::vector<int> selected;
  std::vector<std::pair<uint32_t, uint32_t>> progress;
  bool heldWhileDrawn = true;  // input was held back whenever the bar moved
  int movedUnderArrow = 0;     // the bar moved without the wait cursor
  bool waiting = false, inputEnabled = true;
  std::pair<bool, bool> useLast{true, true};
  std::vector<std::pair<int, long long>> timers;
  int closed = 0;
  std::vector<FileRequest> requests;
  std::optional<std::string> fileAnswer;
  std::function<void(const std::string&)> onLine;  // each new status line, as it is shown

 private:
  std::mutex mutex;
  std::condition_variable wake;
  int posted = 0;
};

struct Bench {
  explicit Bench(std::vector<uint16_t> types, std::vector<std::string> extraPorts = {}) {
    for (uint16_t type : types) {
      sim::DeviceConfig config = testing::Device(type, 512);
      config.serial = {0x0a, static_cast<uint8_t>(type & 0xff)};
      devices.push_back(testing::StartDevice(config));
      setup.ports.push_back(devices.back()->Path());
    }
    setup.ports.insert(setup.ports.end(), extraPorts.begin(), extraPorts.end());
    setup.directory = dir.Path();
    setup.recorder = std::make_shared<records::Recorder>(
        records::ResolveRecordsConfig((dir / "records.sqlite").string(), "window", "", kVersion));
  }
  // The results of the attempts in the window's record store, newest first.
  std::vector<std::string> RecordedResults() const {
    std::vector<records::Record> found;
    auto store =
        records::RecordStore::Open(dir / "records.sqlite", records::RecordStore::Mode::Read);
    if (store) {
      found = (*store)->Find({}).value_or(std::vector<records::Record>{});
    }
    std::vector<std::string> results(found.size());
    std::ranges::transform(found, results.begin(), &records::Record::result);
    return results;
  }
  void Open() {
    setup.today = [] { return settings::LocalDate{6, 12, 2026}; };
    controller = std::make_unique<WindowController>(view, setup);
    controller->SetUp();
    view.Settle(*controller);
    ASSERT_TRUE(controller->IsSetUp());
  }

  testing::TempDir dir;
  std::vector<std::unique_ptr<sim::PtyDevice>> devices;
  WindowSetup setup;
  RecordingView view;
  std::unique_ptr<WindowController> controller;
};

TEST(WindowController, ScanFillsListStatusAndProgress) {
  // extraPort, after the devices: a silent one (""), one that is gone, or one that another
  // program holds ("busy"); rows: device|version|serial; lines: parts of the status lines after
  // set-up and two more Finds; logged: a part of the scan log (Ctrl+D).
  // clang-format off
  struct Case { const char* name; std::vector<uint16_t> types; std::vector<const char*> extraPort;
    std::vector<std::string> rows, lines; std::size_t alerts; std::string logged = ""; };
  const Case cases[] = {
      {"a port with no device", {}, {""}, {},
       {"0 Interfaces found", "0 Interfaces found", "0 Interfaces found"}, 0},
      {"three", {0x3514, 0x9999, 0x3711}, {},
       {"Lumetta A|1.05|0A14", "Unknown device|1.05|Not available", "Lumetta C|1.05|0A11"},
       {"3 Interfaces found", "3 Interfaces found", "3 Interfaces found"}, 0},
      {"a named port that is gone", {0x3514}, {"-gone"}, {"Lumetta A|1.05|0A14"},
       {"-gone: ", "1 Interfaces found", "-gone: "}, 3},
      // Every port is probed at once; one that is busy is told and logged, not taken for empty.
      {"a named port that is busy", {0x3514}, {"busy"}, {"Lumetta A|1.05|0A14"},
       {" is busy", "1 Interfaces found", " is busy"}, 3, " failed: "},
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
    // Each port's probe moves the bar by one as it ends; the scan leaves the bar empty.
    const auto ports = static_cast<uint32_t>(c.types.size() + extra.size());
    std::vector<uint32_t> expected{0};  // drawn at set-up; each scan: range, position, probes
    for (uint32_t step = 0, at = 0; step < 3 * (ports + 3); at = ++step % (ports + 3)) {
      expected.push_back(at < 2 || at == ports + 2 ? 0 : at - 1);
    }
    std::vector<uint32_t> positions;
    for (const auto& [upper, position] : bench.view.progress) {
      positions.push_back(position);
      EXPECT_EQ(upper, positions.size() == 1 ? 1 : ports);
    }
    EXPECT_EQ(positions, expected);
    EXPECT_EQ(bench.view.useLast, std::make_pair(false, false));
    EXPECT_TRUE(!bench.view.waiting && bench.view.inputEnabled && bench.view.timers.empty());
    if (!c.logged.empty()) {
      bench.controller->OnKey(Key::D, true);
      EXPECT_NE(bench.view.messages.back().find(extra.at(0) + c.logged), std::string::npos)
          << bench.view.messages.back();
    }
  }
}

TEST(WindowController, FirmwareUpdateCommand) {
  // IMAGE stands for the image's path. tick: the operator clicks the box before the update;
  // confirm: the file dialog answers with the image, or is cancelled; asked: the dialog's initial
  // name, "" not shown, PATTERN for DIR/*.bin, HANDED for the image handed to the window
  // (dimmer.bin: lumaflash dimmer.bin, Open with, a drop on the program); updated: the device that
  // took the image, -1 none; alerted: the status lines that sounded the alert; ini: parts of the
  // settings file afterwards.
  const std::string lastAndUse = "[3514]\nLAST_OPEN=IMAGE\nUSE_LAST_AGAIN=1\n";
  // clang-format off
  struct Case { const char* name; std::vector<uint16_t> types; uint16_t imageType;
    std::string settings; std::vector<int> selected; std::optional<bool> tick; bool confirm;
    std::string asked; int updated; std::size_t length; std::vector<std::string> alerted, ini; };
  const Case cases[] = {
      {"nothing selected", {0x3514}, 0x3514, "", {}, {}, true, "", -1, 5120,
       {"Wrong interface selection !"}, {}},
      {"two selected", {0x3514, 0x3711}, 0x3514, "", {0, 1}, {}, true, "", -1, 5120,
       {"Wrong interface selection !"}, {}},
      {"file dialog cancelled", {0x3514}, 0x3514, "", {0}, {}, false, "PATTERN", -1, 5120,
       {}, {"[3514]\nUSE_LAST_AGAIN=0"}},
      {"file dialog confirmed", {0x3514}, 0x3514, "", {0}, {}, true, "PATTERN", 0, 5120,
       {}, {"USE_LAST_AGAIN=0\nLAST_OPEN=IMAGE", "LAST_DEVICE=351406122026"}},
      {"second of two uses its own section", {0x3514, 0x3711}, 0x3711,
       "[3711]\nLAST_OPEN=IMAGE\n", {1}, {}, true, "IMAGE", 1, 5120,
       {}, {"[3711]\nLAST_OPEN=IMAGE\nUSE_LAST_AGAIN=0", "LAST_DEVICE=371106122026"}},
      {"yesterday's stamp: the ticked box uses the last image on a click", {0x3514}, 0x3514,
       lastAndUse + "[APP]\nLAST_DEVICE=351405122026\n", {0}, {}, false, "", 0, 5120,
       {}, {"USE_LAST_AGAIN=1"}},
      // Smaller than one block: the bar's range is 0, which shows empty, never busy.
      {"today's stamp: timer 1 starts the update", {0x3514}, 0x3514,
       lastAndUse + "[APP]\nLAST_DEVICE=351406122026\n", {0}, {}, false, "", 0, 300,
       {"Last file: IMAGE"}, {"USE_LAST_AGAIN=1"}},  // the Find's recall
      {"ticked box without a recalled image asks", {0x3514, 0x3711}, 0x3514, "", {0}, true,
       false, "PATTERN", -1, 5120, {}, {"USE_LAST_AGAIN=0"}},
      {"unticked box asks again", {0x3514}, 0x3514, lastAndUse, {0}, false, false, "IMAGE", -1,
       5120, {}, {"USE_LAST_AGAIN=0"}},
      {"image for another type", {0x3514}, 0x3711, "", {0}, {}, true, "PATTERN", -1, 5120,
       {"Firmware file is not for selected device!", "Last file: IMAGE"}, {"LAST_OPEN=IMAGE"}},
      // The first update confirms a handed image in the dialog even when the last would be used.
      // Handing a file changes no setting and starts nothing the operator did not click.
      {"handed image, box ticked: cancelled", {0x3514}, 0x3514, lastAndUse, {0}, {}, false,
       "HANDED", -1, 5120, {}, {"USE_LAST_AGAIN=1"}},
      {"handed image, today's stamp: nothing starts by itself", {0x3514}, 0x3514,
       lastAndUse + "[APP]\nLAST_DEVICE=351406122026\n", {0}, {}, false, "HANDED", -1, 5120, {},
       {"USE_LAST_AGAIN=1"}},
  };
  // clang-format on
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Bench bench(c.types);
    const std::vector<uint8_t> payload = sim::PatternPayload(c.length, 7);
    const std::string image =
        bench.dir.Write("fw.bin", sim::BuildImageFile(1, c.imageType, payload)).string();
    auto expand = [&](std::string text) {
      for (std::size_t at; (at = text.find("IMAGE")) != std::string::npos;) {
        text.replace(at, 5, image);
      }
      return text == "PATTERN"  ? (bench.dir / "*.bin").string()
             : text == "HANDED" ? (bench.dir / "dimmer.bin").string()
                                : text;
    };
    testing::WriteBytes(bench.dir / "Lumaflash.ini", expand(c.settings));
    bench.setup.handedImage = c.asked == "HANDED" ? expand(c.asked) : "";
    bench.Open();
    bench.view.selected = c.selected;
    if (c.tick) {
      bench.controller->OnUseLastToggled(*c.tick);
    }
    bench.view.fileAnswer = c.confirm ? std::optional(image) : std::nullopt;
    bench.view.progress.clear();
    bench.view.alerted.clear();
    bench.view.heldWhileDrawn = true;
    const bool armed = bench.controller->AutoRepeatArmed();
    EXPECT_FALSE(armed && c.asked == "HANDED");
    if (armed) {  // its tick comes during a Find: the update waits for the scan's end
      bench.controller->OnFind(), bench.controller->OnTimer(2), bench.controller->OnTimer(1);
    } else {
      bench.controller->OnFirmwareUpdate();
    }
    if (bench.controller->IsBusy()) {
      bench.controller->OnFirmwareUpdate();  // ignored while a command runs, as is Ctrl+D
      bench.controller->OnKey(Key::D, true);
    }
    bench.view.Settle(*bench.controller);
    using Timers = std::vector<std::pair<int, long long>>;
    EXPECT_EQ(bench.view.timers, (armed ? Timers{{1, 100}, {1, -1}} : Timers{}));
    ASSERT_EQ(bench.view.requests.size(), c.asked.empty() ? 0u : 1u);
    for (const FileRequest& asked : bench.view.requests) {
      EXPECT_EQ(
          asked.initialName + "|" + asked.directory + "|" + asked.fileName,
          expand(c.asked) + "|" + bench.dir.Path().string() + "|" +
              (c.asked == "PATTERN" ? ""
                                    : std::filesystem::path(expand(c.asked)).filename().string()));
    }
    for (std::size_t i = 0; i < bench.devices.size(); ++i) {
      EXPECT_EQ(testing::ReceivedExactly(*bench.devices[i], payload),
                static_cast<int>(i) == c.updated)
          << "device " << i;
    }
    EXPECT_EQ(bench.view.closed, c.updated >= 0 ? 1 : 0);
    std::vector<std::string> alerted(c.alerted.size());
    std::transform(c.alerted.begin(), c.alerted.end(), alerted.begin(), expand);
    EXPECT_EQ(bench.view.alerted, alerted);
    for (const std::string ini = testing::ReadWholeFile(bench.dir / "Lumaflash.ini");
         const std::string& part : c.ini) {
      EXPECT_NE(ini.find(expand(part)), std::string::npos) << ini;
    }
    EXPECT_TRUE(bench.view.messages.empty() && !bench.view.waiting && bench.view.inputEnabled);
    // Each update attempt leaves one record, a refused image too; no attempt, no record.
    const bool refused = c.imageType != c.types.front() && !c.alerted.empty();
    EXPECT_EQ(bench.RecordedResults(), c.updated >= 0
                                           ? std::vector<std::string>{"ok"}
                                           : (refused ? std::vector<std::string>{"wrong-device"}
                                                      : std::vector<std::string>{}));
    if (c.asked == "HANDED") {  // later updates follow the settings again: no dialog
      bench.controller->OnUseLastToggled(true);
      bench.controller->OnFirmwareUpdate();
      bench.view.Settle(*bench.controller);
      EXPECT_TRUE(bench.view.requests.size() == 1 && bench.view.closed == 1);
    }
    if (c.updated >= 0) {  // the bar counted the blocks while the window took no input
      // After the file dialog the arrow is back before the bar moves.
      EXPECT_TRUE(bench.view.heldWhileDrawn &&
                  (c.asked.empty() || bench.view.movedUnderArrow == 0));
      // The range is the blocks rounded up: an image smaller than one block fills a range of 1.
      const auto blocks = static_cast<uint32_t>((c.length + 511) / 512);
      EXPECT_GE(std::count(bench.view.progress.begin(), bench.view.progress.end(),
                           std::make_pair(blocks, blocks)),
                1);
    }
  }
}

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

// What else stands in the update's way: another program that holds the port until the window
// tells that it waits for it, one that holds it exclusively, or an empty image.
enum class Trouble { None, Holder, Busy, EmptyImage };

// The window's failure paths, for both faces at once: a device of 80 blocks, an image chosen in
// the file dialog, and one thing going wrong.
struct FailurePath {
  const char* name;
  std::vector<sim::FaultPlan> faults = {};
  bool readOnlySettings = false;  // made read-only after the scan, before the update
  uint32_t closeAt;       // the close button is pressed when the bar reaches this block
  // Every status line after the scan, in order (IMAGE, PORT and INI stand for the paths, HOLDER
  // for the other program), and those that sounded the alert.
  std::vector<std::string> lines = {}, alerted = {};
  bool imageComplete;  // the device took the whole image and was started
  int closed;          // times the window ended
  Trouble trouble = Trouble::None;
};

class WindowFailure : public ::testing::TestWithParam<FailurePath> {};

TEST_P(WindowFailure, ToldInOrderAndTheWindowStaysOpenWithoutAStamp) {
  const FailurePath& c = GetParam();
  Bench bench({});
  auto device = testing::StartDevice(testing::Device(0x3514, 64), c.faults);
  bench.setup.ports = {device->Path()};
  const std::vector<uint8_t> payload = sim::PatternPayload(80 * 64, 5);
  const std::string image =
      bench.dir
          .Write("fw.bin", c.trouble == Trouble::EmptyImage
                               ? std::vector<uint8_t>{}
                               : sim::BuildImageFile(1, 0x3514, payload))
          .string();
  const std::filesystem::path ini = bench.dir / "Lumaflash.ini";
  const std::string before = "[APP]\nLAST_DEVICE=351405122026\n";
  testing::WriteBytes(ini, before);
  // Another program that has the port open without locking it, as ModemManager does: it lets go
  // once the window has told that it waits, which it must tell while it waits.
  std::unique_ptr<testing::RunningProgram> holder;
  if (c.trouble == Trouble::Holder) {
    std::filesystem::create_symlink("/bin/sh", bench.dir / "holder");
    holder = std::make_unique<testing::RunningProgram>(
        std::vector<std::string>{(bench.dir / "holder").string(), "-c",
                                 "exec 3<>\"$0\" && echo open && kill -STOP $$", device->Path()},
        bench.dir.Path());
    ASSERT_TRUE(holder->WaitForOutput("open"));
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
  const auto expand = [&](std::string text) {
    const std::string holderName = holder ? "holder (pid " + std::to_string(holder->Pid()) + ")" : "";
    for (const auto& [name, value] : {std::pair<std::string, std::string>{"IMAGE", image},
                                      {"PORT", device->Path()},
                                      {"INI", ini.string()},
                                      {"HOLDER", holderName}}) {
      for (std::size_t at; (at = text.find(name)) != std::string::npos;) {
        text.replace(at, name.size(), value);
      }
    }
    return text;
  };
  std::vector<std::string> lines, alerted;
  std::transform(c.lines.begin(), c.lines.end(), std::back_inserter(lines), expand);
  // A line ending in "*" is matched up to there: what the driver reported may differ.
  for (std::size_t i = 0; i < lines.size() && i < bench.view.history.size(); ++i) {
    if (lines[i].ends_with('*') &&
        bench.view.history[i].starts_with(lines[i].substr(0, lines[i].size() - 1))) {
      lines[i] = bench.view.history[i];
    }
  }
  std::transform(c.alerted.begin(), c.alerted.end(), std::back_inserter(alerted), expand);
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
const std::string kBusy = "PORT is busy: another program holds it. Close that program and try again.";
const std::string kSettingsReadOnly =
    "The settings file \"INI\" is read-only; settings were not saved. Make it writable to keep "
    "settings.";

// clang-format off
INSTANTIATE_TEST_SUITE_P(Window, WindowFailure, ::testing::Values(
    FailurePath{"TimeoutAtBlock17Of80", {{sim::Fault::Silent, sim::PacketKind::Block, 16}}, false,
                UINT32_MAX,
                {"Timeout on write data !", "1 Interfaces found", "Last file: IMAGE"},
                {"Timeout on write data !", "Last file: IMAGE"}, false, 0},
    // The detail comes first, so the failure's own line stays in the three-line list.
    FailurePath{"DeviceVanishesMidway", {{sim::Fault::Vanish, sim::PacketKind::Block, 40}}, false,
                UINT32_MAX,
                {"PORT vanished: the device was unplugged or reset. Plug it in again and retry. (*",
                 "Timeout on write data !", "0 Interfaces found", kNoSuchPort},
                {"Timeout on write data !", kNoSuchPort}, false, 0},
    FailurePath{.name = "PortBusyAtTheUpdate", .closeAt = UINT32_MAX,
                .lines = {kBusy, "Error while open USB port !", "0 Interfaces found", kBusy},
                .alerted = {"Error while open USB port !", kBusy}, .imageComplete = false,
                .closed = 0, .trouble = Trouble::Busy},
    // The wait for another program is told while it lasts, not when the update has ended.
    FailurePath{.name = "AnotherProgramHoldsThePortAndLetsGo", .closeAt = UINT32_MAX,
                .lines = {"HOLDER has PORT open; waiting up to 10 s for it to let go",
                          "Write data complete. (IMAGE)", "RUN application.",
                          "0 Interfaces found"},
                .imageComplete = true, .closed = 1, .trouble = Trouble::Holder},
    // An empty image is refused as on the command line; nothing is sent.
    FailurePath{.name = "EmptyImage", .closeAt = UINT32_MAX,
                .lines = {"Firmware file \"IMAGE\" is empty. Choose a firmware image (.bin).",
                          "1 Interfaces found", "Last file: IMAGE"},
                .alerted = {"Firmware file \"IMAGE\" is empty. Choose a firmware image (.bin).",
                            "Last file: IMAGE"},
                .imageComplete = false, .closed = 0, .trouble = Trouble::EmptyImage},
    // Nothing happens until the update ends: it completes, and only its success ends the window.
    FailurePath{"ClosePressedDuringTheUpdate", {}, false, 40,
                {"Write data complete. (IMAGE)", "RUN application.", "0 Interfaces found"},
                {}, true, 1},
    // The update counts; the window stays open so that the operator reads why nothing was kept.
    FailurePath{"SettingsReadOnlyBetweenScanAndUpdate", {}, true, UINT32_MAX,
                {kSettingsReadOnly, "Write data complete. (IMAGE)", "RUN application.",
                 "0 Interfaces found", kSettingsReadOnly},
                {kSettingsReadOnly, kSettingsReadOnly}, true, 0}),
    [](const ::testing::TestParamInfo<FailurePath>& row) { return std::string(row.param.name); });
// clang-format on

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

namespace lumaflash::app {
namespace {

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
  auto opened = records::RecordStore::Open(store, records::RecordStore::Mode::Read);
  EXPECT_TRUE(opened) << records::Describe(opened.error());
  auto found = opened ? (*opened)->Find({}) : records::RecordsResult<std::vector<records::Record>>{};
  EXPECT_TRUE(found && found->size() == 1);
  return found && !found->empty() ? found->front() : records::Record{};
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

records::Record ThroughTheWindow(const Ending& e, const std::string& image,
                                 const std::string& port, std::vector<std::string>& said) {
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
  const std::string image =
      dir.Write("L\xfc" "fter \x1b[2J.bin",
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
  EXPECT_TRUE(std::ranges::none_of(shown, [](const std::string& line) {
    return line.find('\x1b') != std::string::npos;
  }));
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
