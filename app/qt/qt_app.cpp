#include "app/qt/qt_app.h"

#include <QApplication>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "app/controller/window_options.h"
#include "app/controller/window_records.h"
#include "app/qt/qt_window.h"
#include "core/discovery/catalogue.h"
#include "lumaflash_version.h"
#include "sim/demo_devices.h"
#include "sim/pty_host.h"

namespace lumaflash::app {

namespace {

using Devices = std::vector<std::unique_ptr<sim::PtyDevice>>;

// Starts the demo devices in this process; their ports are added to `ports`.
bool StartSimulated(int count, Devices& devices, std::vector<std::string>& ports) {
  for (const sim::DeviceConfig& config : sim::DemoDevices(count)) {
    std::string error;
    auto device = sim::PtyDevice::Start(config, {}, error);
    if (!device) {
      std::fprintf(stderr, "lumaflash: cannot start a simulated device: %s\n", error.c_str());
      return false;
    }
    std::printf("Simulated %s on %s\n", discovery::LookupDeviceName(config.deviceId).c_str(),
                device->Path().c_str());
    ports.push_back(device->Path());
    devices.push_back(std::move(device));
  }
  std::fflush(stdout);
  return true;
}

}  // namespace

int QtApp::Run(int argc, char** argv) {
  std::string error;
  const auto options = ParseAppOptions(std::vector<std::string>(argv + 1, argv + argc), error);
  if (!options) {
    std::fprintf(stderr, "lumaflash: %s; see lumaflash --help\n", error.c_str());
    return 2;
  }
  if (options->help) {
    std::fputs(kAppUsage, stdout);
    return 0;
  }
  if (options->version) {
    std::printf("%s\n", VersionLine("lumaflash").c_str());
    return 0;
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
  std::vector<std::string> ports = options->ports;
  if (options->simulate > 0 && !StartSimulated(options->simulate, devices, ports)) {
    return 1;
  }
  const auto tell = [](const std::string& text) { std::fputs(text.c_str(), stderr); };
  const auto recorder = StartWindowRecords(*options, tell);
  QApplication application(argc, argv);
  QApplication::setApplicationDisplayName(QStringLiteral("Lumaflash"));
  WindowSetup setup;
  setup.ports = ports;
  setup.usbFilter = options->usb;
  setup.directory = std::filesystem::current_path();
  setup.recorder = recorder;
  QtWindow window(std::move(setup));
  window.Run();
  EndWindowRecords(recorder.get(), tell);
  return 0;
}

}  // namespace lumaflash::app
