#include "app/qt/qt_app.h"

#include <QApplication>
#include <QMetaObject>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <stop_token>
#include <string>
#include <vector>

#include "app/controller/window_options.h"
#include "app/controller/window_records.h"
#include "app/qt/qt_window.h"
#include "core/discovery/catalogue.h"
#include "core/platform/stop_signals.h"
#include "sim/demo_devices.h"
#include "sim/pty_host.h"

namespace lumaflash::app {

namespace {

using Devices = std::vector<std::unique_ptr<sim::PtyDevice>>;

// Starts the demo devices in this process; their ports are added to `ports`.
bool StartSimulated(int count, Devices& devices, std::vector<std::string>& ports) {
  for (const sim::DeviceConfig& config : sim::DemoDevices(count)) {
    auto device = sim::PtyDevice::Start(config, {});
    if (!device) {
      std::fprintf(stderr, "lumaflash: cannot start a simulated device: %s\n",
                   sim::Describe(device.error()).c_str());
      return false;
    }
    std::printf("Simulated %s on %s\n", discovery::LookupDeviceName(config.deviceId).c_str(),
                (*device)->Path().c_str());
    ports.push_back((*device)->Path());
    devices.push_back(std::move(*device));
  }
  std::fflush(stdout);
  return true;
}

}  // namespace

int QtApp::Run(int argc, char** argv) {
  const StartUp plan = PlanStartUp(std::vector<std::string>(argv + 1, argv + argc), kQtFace);
  if (plan.exitCode) {
    std::fputs(plan.text.c_str(), plan.error ? stderr : stdout);
    return *plan.exitCode;
  }
  if (!HasDisplay(std::getenv("DISPLAY"), std::getenv("WAYLAND_DISPLAY"),
                  std::getenv("QT_QPA_PLATFORM"))) {
    std::fputs(
        "lumaflash: no display (DISPLAY and WAYLAND_DISPLAY are not set). Run it in a desktop "
        "session, or use lumaflash-cli on the command line.\n",
        stderr);
    return 1;
  }
  Devices devices;
  std::vector<std::string> simulatedPorts;
  if (plan.options.simulate > 0 &&
      !StartSimulated(plan.options.simulate, devices, simulatedPorts)) {
    return 1;
  }
  const auto tell = [](const std::string& text) { std::fputs(text.c_str(), stderr); };
  const auto recorder = StartWindowRecords(plan.options, tell);
  QApplication application(argc, argv);
  QApplication::setApplicationDisplayName(QStringLiteral("Lumaflash"));
  WindowSetup setup = SetupFor(plan.options, simulatedPorts, std::filesystem::current_path());
  setup.recorder = recorder;
  QtWindow window(std::move(setup));
  // SIGTERM, SIGINT or SIGHUP (logout, a closing terminal) ends the window in order: an update
  // stops between two blocks with its port closed. The stop is requested on another thread; the
  // window hears of it on its own.
  std::stop_source stop;
  const std::stop_callback toWindow(stop.get_token(), [&window] {
    QMetaObject::invokeMethod(
        &window, [&window] { window.Controller().OnStopRequested(); }, Qt::QueuedConnection);
  });
  const platform::StopSignals stopSignals(stop);
  window.Run();
  EndWindowRecords(recorder.get(), tell);
  return window.Controller().ExitStatus();
}

}  // namespace lumaflash::app
