#pragma once

// The window's controller against a view that records what it is told, with simulated devices
// on pseudo-terminals, a real settings file and a real record store: what the window's tests
// share.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "app/controller/window_controller.h"
#include "core/records/record_store.h"
#include "core/records/questions.h"
#include "core/records/recorder.h"
#include "lumaflash_version.h"
#include "sim/pty_host.h"
#include "tests/support/sim_devices.h"
#include "tests/support/temp_dir.h"

namespace lumaflash::app {

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

struct WindowBench {
  explicit WindowBench(std::vector<uint16_t> types, std::vector<std::string> extraPorts = {}) {
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
    std::vector<std::string> results;
    if (auto store = records::LocalQuestions(dir / "records.sqlite")) {
      (void)(*store)->List({}, 0, 0, [&results](const records::Record& record) {
        results.push_back(record.result);
        return true;
      });
    }
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

}  // namespace lumaflash::app
