// lumaflash-sim: serves simulated bootloader devices on pseudo-terminals until it is stopped
// (SIGINT or SIGTERM), then prints what each device received.
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <iostream>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include <pthread.h>
#include <signal.h>

#include "platform/process_start.h"
#include "sim/demo_devices.h"
#include "sim/pty_host.h"
#include "update/sha256.h"

namespace {

using lumaflash::sim::DeviceConfig;
using lumaflash::sim::Fault;
using lumaflash::sim::FaultPlan;
using lumaflash::sim::PacketKind;

constexpr const char* kUsage =
    "usage: lumaflash-sim [--count N] [--mix] [--type HEX]... [--bootloader HEX]\n"
    "                     [--firmware HEX] [--block-size N] [--stay]\n"
    "                     [--fault KIND:PACKET[:INDEX]]...\n"
    "Serves N simulated devices (default 1) on pseudo-terminals and prints one line per\n"
    "device: its port path, device type and serial number. Runs until SIGINT or SIGTERM,\n"
    "then prints per device: packets, blocks, payload bytes, timing violations and the\n"
    "SHA-256 of the payload received.\n"
    "  --mix       a mix of device types and reply layouts\n"
    "  --type HEX  device type (repeat to cycle through several; default 3514)\n"
    "  KIND        silent, wrong-ack, late-ack, double-ack, short, overlong, vanish\n"
    "  PACKET      identify, start, block, run; INDEX counts packets of that kind from 0\n";

std::optional<unsigned long> Number(std::string_view text, int base) {
  std::string copy(text);
  char* end = nullptr;
  unsigned long value = std::strtoul(copy.c_str(), &end, base);
  if (copy.empty() || *end != '\0') {
    return std::nullopt;
  }
  return value;
}

std::optional<Fault> ParseFaultKind(std::string_view kind) {
  if (kind == "silent")
    return Fault::Silent;
  if (kind == "wrong-ack")
    return Fault::WrongAck;
  if (kind == "late-ack")
    return Fault::LateAck;
  if (kind == "double-ack")
    return Fault::DoubleAck;
  if (kind == "short")
    return Fault::Short;
  if (kind == "overlong")
    return Fault::Overlong;
  if (kind == "vanish")
    return Fault::Vanish;
  return std::nullopt;
}

std::optional<PacketKind> ParsePacketKind(std::string_view packet) {
  if (packet == "identify")
    return PacketKind::Identify;
  if (packet == "start")
    return PacketKind::Start;
  if (packet == "block")
    return PacketKind::Block;
  if (packet == "run")
    return PacketKind::Run;
  return std::nullopt;
}

std::optional<FaultPlan> ParseFault(std::string_view text) {
  std::size_t first = text.find(':');
  if (first == std::string_view::npos) {
    return std::nullopt;
  }
  std::size_t second = text.find(':', first + 1);
  auto fault = ParseFaultKind(text.substr(0, first));
  auto packet = ParsePacketKind(text.substr(first + 1, second - first - 1));
  if (!fault || !packet) {
    return std::nullopt;
  }
  FaultPlan plan{*fault, *packet, -1};
  if (second != std::string_view::npos) {
    auto index = Number(text.substr(second + 1), 10);
    if (!index) {
      return std::nullopt;
    }
    plan.index = static_cast<int>(*index);
  }
  return plan;
}

struct Options {
  int count = 1;
  bool mix = false;
  std::vector<uint16_t> types;
  std::optional<uint16_t> bootloader;
  std::optional<uint16_t> firmware;
  std::optional<uint16_t> blockSize;
  bool stay = false;
  std::vector<FaultPlan> faults;
};

std::optional<Options> ParseOptions(int argc, char** argv) {
  Options options;
  for (int i = 1; i < argc; ++i) {
    std::string_view arg = argv[i];
    std::optional<std::string_view> value;
    if (arg != "--mix" && arg != "--stay") {
      if (i + 1 >= argc) {
        return std::nullopt;
      }
      value = argv[++i];
    }
    if (arg == "--mix") {
      options.mix = true;
    } else if (arg == "--stay") {
      options.stay = true;
    } else if (arg == "--count") {
      auto n = Number(*value, 10);
      if (!n || *n < 1 || *n > 99)
        return std::nullopt;
      options.count = static_cast<int>(*n);
    } else if (arg == "--type" || arg == "--bootloader" || arg == "--firmware") {
      auto n = Number(*value, 16);
      if (!n || *n > 0xFFFF)
        return std::nullopt;
      auto word = static_cast<uint16_t>(*n);
      if (arg == "--type")
        options.types.push_back(word);
      if (arg == "--bootloader")
        options.bootloader = word;
      if (arg == "--firmware")
        options.firmware = word;
    } else if (arg == "--block-size") {
      auto n = Number(*value, 10);
      if (!n || *n > 0xFFFF)
        return std::nullopt;
      options.blockSize = static_cast<uint16_t>(*n);
    } else if (arg == "--fault") {
      auto plan = ParseFault(*value);
      if (!plan)
        return std::nullopt;
      options.faults.push_back(*plan);
    } else {
      return std::nullopt;
    }
  }
  return options;
}

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

std::string Hex(const std::vector<uint8_t>& bytes) {
  std::string text;
  char digits[3];
  for (uint8_t byte : bytes) {
    std::snprintf(digits, sizeof digits, "%02X", byte);
    text += digits;
  }
  return text.empty() ? "-" : text;
}

}  // namespace

int main(int argc, char** argv) {
  lumaflash::platform::PrepareProcess();
  auto options = ParseOptions(argc, argv);
  if (!options) {
    std::cerr << kUsage;
    return 2;
  }
  // Blocked before any thread starts, so every thread inherits the mask and the signals wait
  // for sigwait() below instead of killing the process mid-report.
  sigset_t stopSignals;
  sigemptyset(&stopSignals);
  sigaddset(&stopSignals, SIGINT);
  sigaddset(&stopSignals, SIGTERM);
  pthread_sigmask(SIG_BLOCK, &stopSignals, nullptr);
  std::vector<std::unique_ptr<lumaflash::sim::PtyDevice>> devices;
  for (const DeviceConfig& config : Configs(*options)) {
    std::string error;
    auto device = lumaflash::sim::PtyDevice::Start(config, options->faults, error);
    if (!device) {
      std::cerr << "lumaflash-sim: " << error << "\n";
      return 1;
    }
    std::printf("%s %04x %s\n", device->Path().c_str(), config.deviceId,
                Hex(config.serial).c_str());
    devices.push_back(std::move(device));
  }
  std::fflush(stdout);
  int received = 0;
  sigwait(&stopSignals, &received);
  for (const auto& device : devices) {
    auto model = device->Snapshot();
    // The digest lets a test compare what arrived with the image file's payload (see
    // "lumaflash-cli info") without reading the device's memory back.
    std::printf(
        "%s: %zu packets, %d blocks, %zu payload bytes, run %s, %zu timing violations, "
        "sha256 %s\n",
        device->Path().c_str(), model.Packets().size(), model.BlockCount(), model.Image().size(),
        model.RunReceived() ? "yes" : "no", model.TimingViolations().size(),
        lumaflash::update::Sha256Hex(model.Image()).c_str());
  }
  return 0;
}
