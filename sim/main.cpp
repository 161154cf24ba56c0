// lumaflash-sim: serves simulated bootloader devices on pseudo-terminals (or one on a given tty)
// until it is stopped (SIGINT or SIGTERM), then prints what each device received.
#include <csignal>
#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include <pthread.h>
#include <signal.h>

#include "core/platform/hex.h"
#include "core/platform/process_start.h"
#include "core/platform/sha256.h"
#include "lumaflash_version.h"
#include "sim/demo_devices.h"
#include "sim/options.h"
#include "sim/pty_host.h"

namespace {

using lumaflash::sim::DeviceConfig;
using lumaflash::sim::Options;
using Devices = std::vector<std::unique_ptr<lumaflash::sim::PtyDevice>>;

std::vector<DeviceConfig> Configs(const Options& options) {
  std::vector<DeviceConfig> configs = lumaflash::sim::DemoDevices(options.count);
  for (int i = 0; i < options.count; ++i) {
    DeviceConfig& config = configs[static_cast<std::size_t>(i)];
    if (!options.mix) {
      uint16_t type = options.types.empty()
                          ? uint16_t{0x3514}
                          : options.types[static_cast<std::size_t>(i) % options.types.size()];
      config = lumaflash::sim::DeviceOfType(type, i + 1);
    }
    if (options.bootloader)
      config.bootloaderVersion = *options.bootloader;
    if (options.firmware)
      config.firmwareVersion = *options.firmware;
    if (options.blockSize)
      config.blockSize = *options.blockSize;
    config.stayInBootloader = options.stay;
  }
  return configs;
}

std::string SerialText(const std::vector<uint8_t>& serial) {
  return serial.empty()
             ? "-"
             : lumaflash::platform::HexBytes(serial, lumaflash::platform::HexCase::Upper);
}

// Starts every device and prints its line; false (after saying why) when one cannot start.
bool StartDevices(const Options& options, Devices& devices) {
  for (const DeviceConfig& config : Configs(options)) {
    auto device = options.tty.empty()
                      ? lumaflash::sim::PtyDevice::Start(config, options.faults)
                      : lumaflash::sim::PtyDevice::StartOnTty(options.tty, config, options.faults);
    if (!device) {
      std::fprintf(stderr, "lumaflash-sim: %s\n", lumaflash::sim::Describe(device.error()).c_str());
      return false;
    }
    std::printf("%s %s %s\n", (*device)->Path().c_str(),
                lumaflash::platform::HexWord(config.deviceId).c_str(),
                SerialText(config.serial).c_str());
    devices.push_back(std::move(*device));
  }
  std::fflush(stdout);
  return true;
}

// The digest lets a test compare what arrived with the image file's payload (see
// "lumaflash-cli info") without reading the device's memory back.
void Report(const Devices& devices) {
  for (const auto& device : devices) {
    auto model = device->Snapshot();
    std::printf(
        "%s: %zu packets, %d blocks, %zu payload bytes, run %s, %zu timing violations, "
        "sha256 %s\n",
        device->Path().c_str(), model.Packets().size(), model.BlockCount(), model.Image().size(),
        model.RunReceived() ? "yes" : "no", model.TimingViolations().size(),
        lumaflash::platform::Sha256Hex(model.Image()).c_str());
  }
}

}  // namespace

int main(int argc, char** argv) {
  lumaflash::platform::PrepareProcess();
  const auto options =
      lumaflash::sim::ParseOptions(std::vector<std::string>(argv + 1, argv + argc));
  if (!options) {
    std::fprintf(stderr, "lumaflash-sim: %s; see lumaflash-sim --help\n",
                 options.error().text.c_str());
    return 2;
  }
  if (options->help) {
    std::fputs(lumaflash::sim::Usage().c_str(), stdout);
    return 0;
  }
  if (options->version) {
    std::printf("%s\n", lumaflash::VersionLine("lumaflash-sim").c_str());
    return 0;
  }
  // Blocked before any thread starts, so every thread inherits the mask and the signals wait
  // for sigwait() below instead of killing the process mid-report.
  sigset_t stopSignals;
  sigemptyset(&stopSignals);
  sigaddset(&stopSignals, SIGINT);
  sigaddset(&stopSignals, SIGTERM);
  pthread_sigmask(SIG_BLOCK, &stopSignals, nullptr);
  Devices devices;
  if (!StartDevices(*options, devices)) {
    return 1;
  }
  int received = 0;
  sigwait(&stopSignals, &received);
  Report(devices);
  return 0;
}
