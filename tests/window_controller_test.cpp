// The main window's rules, once for every face: the controller against a view that records
// what it is told, with simulated devices on pseudo-terminals and a real settings file.
#include "window_controller.h"

#include <gtest/gtest.h>

#include <condition_variable>
#include <functional>
#include <mutex>

#include "session.h"
#include "sim/image_file.h"
#include "support/raw_pty.h"
#include "support/read_file.h"
#include "support/sim_devices.h"
#include "support/temp_dir.h"

namespace lumaflash::app {
namespace {

class RecordingView : public WindowView {
 public:
  void ShowRows(const std::vector<ListRow>& shown, int chosen) override {
    rows.clear();
    tooltips.clear();
    for (const ListRow& row : shown) {
      rows.push_back(row.device + "|" + row.version + "|" + row.serial);
      tooltips.push_back(row.tooltip);
    }
    selected = chosen < 0 ? std::vector<int>{} : std::vector<int>{chosen};
  }
  std::vector<int> SelectedRows() const override { return selected; }
  void ShowStatus(const std::vector<std::string>& shown) override { lines = shown; }
  void SoundAlert() override { alerted.push_back(lines.empty() ? "" : lines.back()); }
  void ShowProgress(uint32_t upper, uint32_t position) override {
    progress.emplace_back(upper, position);
    heldWhileDrawn = heldWhileDrawn && !inputEnabled;
    movedUnderArrow += position > 0 && !waiting ? 1 : 0;
  }
  void ShowWaitCursor(bool on) override { waiting = on; }
  void ShowUseLast(bool enabled, bool ticked) override { useLast = {enabled, ticked}; }
  void EnableInput(bool enabled) override { inputEnabled = enabled; }
  void StartTimer(int id, std::chrono::milliseconds interval) override {
    timers.emplace_back(id, interval.count());
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
    ++posted;
    wake.notify_one();
  }

  // The face's event loop: delivers what the worker posts until the controller is idle.
  void Settle(WindowController& controller) {
    while (controller.IsBusy()) {
      std::unique_lock lock(mutex);
      ASSERT_TRUE(wake.wait_for(lock, std::chrono::seconds(20), [&] { return posted > 0; }));
      posted = 0;
      lock.unlock();
      controller.DeliverPosted();
    }
  }

  std::vector<std::string> rows;
  std::vector<std::string> tooltips;
  std::vector<int> selected;
  std::vector<std::string> lines;
  std::vector<std::string> alerted;  // the newest status line at each alert tone
  std::vector<std::pair<uint32_t, uint32_t>> progress;
  bool heldWhileDrawn = true;  // input was held back whenever the bar moved
  int movedUnderArrow = 0;     // the bar moved without the wait cursor
  bool waiting = false;
  std::pair<bool, bool> useLast{true, true};
  bool inputEnabled = true;
  std::vector<std::pair<int, long long>> timers;  // id and interval, -1 when stopped
  int closed = 0;
  std::vector<std::string> messages;
  std::vector<FileRequest> requests;
  std::optional<std::string> fileAnswer;

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
  }
  ~Bench() {
    for (const auto& [upper, position] : view.progress) {
      EXPECT_TRUE(upper > 0 && position <= upper) << position << " of " << upper;
    }
  }
  std::string Image(const std::string& name, uint16_t type, std::size_t length) {
    payload = sim::PatternPayload(length, 7);
    return dir.Write(name, sim::BuildImageFile(1, type, payload)).string();
  }
  void Open() {
    setup.today = [] { return settings::LocalDate{6, 12, 2026}; };
    controller = std::make_unique<WindowController>(view, setup);
    controller->SetUp();
    view.Settle(*controller);
    ASSERT_TRUE(controller->IsSetUp());
  }
  bool Received(std::size_t device) const {
    const sim::DeviceModel got = devices[device]->Snapshot();
    return got.RunReceived() && got.Image().size() >= payload.size() &&
           std::equal(payload.begin(), payload.end(), got.Image().begin());
  }
  std::string Ini() const { return testing::ReadWholeFile(dir / "Lumaflash.ini"); }

  testing::TempDir dir;
  std::vector<std::unique_ptr<sim::PtyDevice>> devices;
  std::vector<uint8_t> payload;
  WindowSetup setup;
  RecordingView view;
  std::unique_ptr<WindowController> controller;
};

TEST(WindowController, ScanFillsListStatusAndProgress) {
  struct Case {
    const char* name;
    std::vector<uint16_t> types;
    const char* extraPort;           // named after the devices: "silent" (nothing on it), "gone"
    std::vector<std::string> rows;   // device|version|serial
    std::vector<std::string> lines;  // parts of the status lines after set-up and two more Finds
    std::size_t alerts;
  };
  // clang-format off
  const Case cases[] = {
      {"a port with no device", {}, "silent", {},
       {"0 Interfaces found", "0 Interfaces found", "0 Interfaces found"}, 0},
      {"three", {0x3514, 0x9999, 0x3711}, nullptr,
       {"Lumetta A|1.05|0A14", "Unknown device|1.05|Not available", "Lumetta C|1.05|0A11"},
       {"3 Interfaces found", "3 Interfaces found", "3 Interfaces found"}, 0},
      {"a named port that is gone", {0x3514}, "gone", {"Lumetta A|1.05|0A14"},
       {"-gone: ", "1 Interfaces found", "-gone: "}, 3},
  };
  // clang-format on
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    testing::RawPty silent;
    std::vector<std::string> extra;
    if (c.extraPort != nullptr) {
      extra.push_back(silent.Path() + (std::string(c.extraPort) == "gone" ? "-gone" : ""));
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
    for (int scan = 0; scan < 3; ++scan) {
      for (uint32_t step = 0; step <= ports + 2; ++step) {
        expected.push_back(step < 2 || step == ports + 2 ? 0 : step - 1);
      }
    }
    std::vector<uint32_t> positions;
    for (const auto& [upper, position] : bench.view.progress) {
      positions.push_back(position);
      EXPECT_EQ(upper, positions.size() == 1 ? 1 : ports);
    }
    EXPECT_EQ(positions, expected);
    EXPECT_EQ(bench.view.useLast, std::make_pair(false, false));
    EXPECT_FALSE(bench.view.waiting);
    EXPECT_TRUE(bench.view.inputEnabled);
    EXPECT_TRUE(bench.view.timers.empty());
  }
}

TEST(WindowController, FirmwareUpdateCommand) {
  struct Case {
    const char* name;
    std::vector<uint16_t> types;
    uint16_t imageType;
    std::string settings;  // IMAGE stands for the image's path
    std::vector<int> selected;
    std::optional<bool> tick;  // the operator clicks the box before the update
    bool confirm;              // the file dialog is confirmed with the image, or cancelled
    std::string asked;         // the dialog's initial name: "" not shown, PATTERN for DIR/*.bin
    int updated;               // the device that took the image, -1 none
    std::size_t length;        // of the image's payload
    std::vector<std::string> alerted;  // the status lines that sounded the alert
    std::vector<std::string> ini;      // parts of the settings file afterwards
  };
  const std::string lastAndUse = "[3514]\nLAST_OPEN=IMAGE\nUSE_LAST_AGAIN=1\n";
  // clang-format off
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
      {"unticked box asks again", {0x3514}, 0x3514, lastAndUse, {0}, false, false, "IMAGE", -1,
       5120, {}, {"USE_LAST_AGAIN=0"}},
      {"image for another type", {0x3514}, 0x3711, "", {0}, {}, true, "PATTERN", -1, 5120,
       {"Firmware file is not for selected device!", "Last file: IMAGE"}, {"LAST_OPEN=IMAGE"}},
  };
  // clang-format on
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Bench bench(c.types);
    const std::string image = bench.Image("fw.bin", c.imageType, c.length);
    auto expand = [&](std::string text) {
      for (std::size_t at; (at = text.find("IMAGE")) != std::string::npos;) {
        text.replace(at, 5, image);
      }
      return text == "PATTERN" ? (bench.dir / "*.bin").string() : text;
    };
    testing::WriteBytes(bench.dir / "Lumaflash.ini", expand(c.settings));
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
    if (armed) {  // its tick comes during a Find: the update waits for the scan's end
      bench.controller->OnFind();
      bench.controller->OnTimer(2);
      bench.controller->OnTimer(1);
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
    if (!c.asked.empty()) {
      const FileRequest& asked = bench.view.requests[0];
      EXPECT_EQ(asked.initialName, expand(c.asked));
      EXPECT_EQ(asked.directory, bench.dir.Path().string());
      EXPECT_EQ(asked.fileName, c.asked == "IMAGE" ? "fw.bin" : "");
    }
    for (std::size_t i = 0; i < bench.devices.size(); ++i) {
      EXPECT_EQ(bench.Received(i), static_cast<int>(i) == c.updated) << "device " << i;
    }
    EXPECT_EQ(bench.view.closed, c.updated >= 0 ? 1 : 0);
    std::vector<std::string> alerted;
    for (const std::string& line : c.alerted) {
      alerted.push_back(expand(line));
    }
    EXPECT_EQ(bench.view.alerted, alerted);
    for (const std::string& part : c.ini) {
      EXPECT_NE(bench.Ini().find(expand(part)), std::string::npos) << bench.Ini();
    }
    EXPECT_TRUE(bench.view.messages.empty());
    EXPECT_FALSE(bench.view.waiting);
    EXPECT_TRUE(bench.view.inputEnabled);
    if (c.updated >= 0) {  // the bar counted the blocks while the window took no input
      EXPECT_TRUE(bench.view.heldWhileDrawn);
      EXPECT_TRUE(c.asked.empty() || bench.view.movedUnderArrow == 0);  // after the file dialog
      const auto blocks = static_cast<uint32_t>(c.length / 512);
      const auto full = std::make_pair(std::max(blocks, 1u), blocks);
      EXPECT_NE(std::find(bench.view.progress.begin(), bench.view.progress.end(), full),
                bench.view.progress.end());
    }
  }
}

TEST(WindowController, KeysAndSystemCommands) {
  Bench bench({0x3514});
  bench.Open();
  struct Case {
    std::function<bool(WindowController&)> act;
    bool taken;
    std::size_t messages;  // shown so far: the scan log, the About box
  };
  const Case cases[] = {
      {[](auto& w) { return w.OnKey(Key::Escape, false); }, true, 0},
      {[](auto& w) { return w.OnKey(Key::Enter, true); }, true, 0},
      {[](auto& w) { return w.OnKey(Key::D, false); }, false, 0},
      {[](auto& w) { return w.OnKey(Key::Other, true); }, false, 0},
      {[](auto& w) { return w.OnKey(Key::D, true); }, true, 1},
      {[](auto& w) { return w.OnSysCommand(15); }, false, 1},
      {[](auto& w) { return w.OnSysCommand(16); }, true, 2},
      {[](auto& w) { return w.OnSysCommand(31); }, true, 3},
      {[](auto& w) { return w.OnSysCommand(32); }, false, 3},
  };
  for (std::size_t i = 0; i < std::size(cases); ++i) {
    EXPECT_EQ(cases[i].act(*bench.controller), cases[i].taken) << "case " << i;
    EXPECT_EQ(bench.view.messages.size(), cases[i].messages) << "case " << i;
  }
  EXPECT_EQ(bench.view.messages[0].rfind("Find Interface START\nOpen ", 0), 0u);
  EXPECT_NE(bench.view.messages[0].find("   Target Device: 3514\n"), std::string::npos);
  EXPECT_EQ(bench.view.messages[0].find('\r'), std::string::npos);
  EXPECT_EQ(bench.view.messages[2], "About");
  EXPECT_TRUE(bench.view.closed == 0 && bench.view.requests.empty());
}

// Timer 1 starts an update only when the automatic repeat armed it.
TEST(WindowController, UnarmedTimerStartsNothing) {
  Bench bench({0x3514});
  bench.Open();
  bench.view.selected = {0};
  bench.controller->OnTimer(1);
  bench.view.Settle(*bench.controller);
  EXPECT_TRUE(bench.view.requests.empty());
  EXPECT_TRUE(bench.view.alerted.empty());
}

}  // namespace
}  // namespace lumaflash::app
