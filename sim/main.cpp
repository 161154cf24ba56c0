// lumaflash-sim: serves simulated bootloader devices on pseudo-terminals (or one on a given tty)
// until it is stopped (SIGINT or SIGTERM), then prints what each device received.
#include <algorithm>
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

#include "core/platform/command_line.h"
#include "core/platform/hex.h"
#include "core/platform/process_start.h"
#include "core/platform/sha256.h"
#include "lumaflash_version.h"
#include "sim/demo_devices.h"
#include "sim/pty_host.h"

namespace {

using lumaflash::sim::DeviceConfig;
using lumaflash::sim::Fault;
using lumaflash::sim::FaultPlan;
using lumaflash::sim::PacketKind;

constexpr const char* kUsage =
    "usage: lumaflash-sim [--count N] [--mix] [--type HEX]... [--bootloader HEX]\n"
    "                     [--firmware HEX] [--block-size N] [--stay]\n"
    "                     [--fault KIND:PACKET[:INDEX]]... [--tty PATH]\n"
    "       lumaflash-sim --help | --version\n"
    "Serves N simulated devices (default 1) on pseudo-terminals and prints one line per\n"
    "device: its port path, device type and serial number. Runs until SIGINT or SIGTERM,\n"
    "then prints per device: packets, blocks, payload bytes, timing violations and the\n"
    "SHA-256 of the payload received.\n"
    "  --count N           serve N devices, 1 to 99\n"
    "  --mix               a mix of device types and reply layouts\n"
    "  --type HEX          device type (repeat to cycle through several; default 3514)\n"
    "  --bootloader HEX    bootloader version every device reports\n"
    "  --firmware HEX      firmware version every device reports\n"
    "  --block-size N      block size every device reports\n"
    "  --stay              stay in bootloader mode after the run packet\n"
    "  --tty PATH          serve one device on this existing tty (raw mode) instead, e.g. the\n"
    "                      port of a USB serial gadget (/dev/ttyGS0); it ends if the tty hangs up\n"
    "  --fault KIND:PACKET[:INDEX]  misbehave once (or at every such packet without INDEX)\n"
    "      KIND    silent, wrong-ack, late-ack, double-ack, short, overlong, vanish\n"
    "      PACKET  identify, start, block, run; INDEX counts packets of that kind from 0\n";

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
  std::string tty;
};

// Stores one option's value; false when the value is not usable for it.
bool Store(std::string_view arg, std::string_view value, Options& options) {
  if (arg == "--count") {
    auto n = Number(value, 10);
    options.count = n ? static_cast<int>(*n) : 0;
    return n && *n >= 1 && *n <= 99;
  }
  if (arg == "--type" || arg == "--bootloader" || arg == "--firmware") {
    auto n = Number(value, 16);
    if (!n || *n > 0xFFFF)
      return false;
    auto word = static_cast<uint16_t>(*n);
    if (arg == "--type")
      options.types.push_back(word);
    if (arg == "--bootloader")
      options.bootloader = word;
    if (arg == "--firmware")
      options.firmware = word;
    return true;
  }
  if (arg == "--tty") {
    options.tty = value;
    return !value.empty();
  }
  if (arg == "--block-size") {
    auto n = Number(value, 10);
    if (!n || *n > 0xFFFF)
      return false;
    options.blockSize = static_cast<uint16_t>(*n);
    return true;
  }
  auto plan = ParseFault(value);
  if (plan)
    options.faults.push_back(*plan);
  return plan.has_value();
}

// The options that take part in a run (--help and --version answer only as the first word).
constexpr lumaflash::platform::OptionSpec kOptions[] = {
    {"--count", "N", false, ""},      {"--mix", "", false, ""},
    {"--type", "HEX", true, ""},      {"--bootloader", "HEX", false, ""},
    {"--firmware", "HEX", false, ""}, {"--block-size", "N", false, ""},
    {"--stay", "", false, ""},        {"--fault", "KIND:PACKET[:INDEX]", true, ""},
    {"--tty", "PATH", false, ""},
};

std::optional<Options> ParseOptions(int argc, char** argv, std::string& error) {
  using Reason = lumaflash::platform::CommandLineStop::Reason;
  Options options;
  const std::vector<std::string> args(argv + 1, argv + argc);
  const auto stop = lumaflash::platform::WalkCommandLine(
      args, kOptions,
      [&options](const lumaflash::platform::OptionSpec& option, std::string_view value) {
        if (option.value.empty()) {
          (option.name == "--mix" ? options.mix : options.stay) = true;
          return true;
        }
        return Store(option.name, value, options);
      },
      [](std::string_view) { return false; });
  if (stop && stop->option == nullptr) {
    error = "unknown option " + stop->word;
    return std::nullopt;
  }
  if (stop) {
    error = stop->reason == Reason::MissingValue
                ? stop->word + " needs a value"
                : "\"" + stop->word + "\" is no value for " + std::string(stop->option->name);
    return std::nullopt;
  }
  if (!options.tty.empty() && options.count != 1) {
    error = "--tty serves one device; --count does not go with it";
    return std::nullopt;
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

std::string SerialText(const std::vector<uint8_t>& serial) {
  return serial.empty()
             ? "-"
             : lumaflash::platform::HexBytes(serial, lumaflash::platform::HexCase::Upper);
}

}  // namespace

int main(int argc, char** argv) {
  lumaflash::platform::PrepareProcess();
  const std::string_view first = argc > 1 ? argv[1] : "";
  if (first == "--help" || first == "-h") {
    std::fputs(kUsage, stdout);
    return 0;
  }
  if (first == "--version") {
    std::printf("%s\n", lumaflash::VersionLine("lumaflash-sim").c_str());
    return 0;
  }
  std::string error;
  auto options = ParseOptions(argc, argv, error);
  if (!options) {
    std::cerr << "lumaflash-sim: " << error << "; see lumaflash-sim --help\n";
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
    std::string startError;
    auto device = options->tty.empty()
                      ? lumaflash::sim::PtyDevice::Start(config, options->faults, startError)
                      : lumaflash::sim::PtyDevice::StartOnTty(options->tty, config, options->faults,
                                                              startError);
    if (!device) {
      std::cerr << "lumaflash-sim: " << startError << "\n";
      return 1;
    }
    std::printf("%s %s %s\n", device->Path().c_str(),
                lumaflash::platform::HexWord(config.deviceId).c_str(),
                SerialText(config.serial).c_str());
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
        lumaflash::platform::Sha256Hex(model.Image()).c_str());
  }
  return 0;
}
