// Prints how close an update comes to the floor the protocol sets, with and without its record,
// and how much CPU the host spends while it waits on the device. The simulated devices run in
// their own process, so the CPU figures are the host's alone. `update_bench [CLI]` times the whole
// runs with another build's lumaflash-cli.
#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "core/discovery/scan.h"
#include "core/platform/process_start.h"
#include "core/protocol/identify.h"
#include "core/protocol/programming.h"
#include "core/records/recorder.h"
#include "core/serial/port.h"
#include "core/serial/port_holders.h"
#include "core/session/recorded_attempt.h"
#include "core/update/flash.h"
#include "sim/image_file.h"
#include "sim/pty_host.h"
#include "tests/support/fake_system.h"
#include "tests/support/run_program.h"

namespace {

using Clock = std::chrono::steady_clock;
using lumaflash::testing::RunningProgram;

double CpuSeconds() {
  rusage usage{};
  ::getrusage(RUSAGE_SELF, &usage);
  auto seconds = [](const timeval& t) { return double(t.tv_sec) + double(t.tv_usec) / 1e6; };
  return seconds(usage.ru_utime) + seconds(usage.ru_stime);
}

double SecondsSince(Clock::time_point start) {
  return std::chrono::duration<double>(Clock::now() - start).count();
}

// Starts lumaflash-sim with `args` and returns the paths of its first `count` devices.
std::vector<std::string> StartSimulatorDevices(std::unique_ptr<RunningProgram>& sim,
                                               const std::string& pathsFile,
                                               std::vector<std::string> args, std::size_t count) {
  args.insert(args.begin(), LUMAFLASH_SIM_PATH);
  std::string command;
  for (const auto& arg : args) {
    command += "'" + arg + "' ";
  }
  sim = std::make_unique<RunningProgram>(
      std::vector<std::string>{"/bin/sh", "-c", "exec " + command + "> " + pathsFile}, "/");
  for (int i = 0; i < 300; ++i) {
    std::vector<std::string> paths;
    if (FILE* file = std::fopen(pathsFile.c_str(), "r")) {
      char line[256] = {};
      while (std::fgets(line, sizeof line, file) != nullptr) {
        std::string text(line);
        paths.push_back(text.substr(0, text.find(' ')));
      }
      std::fclose(file);
    }
    if (paths.size() >= count) {
      paths.resize(count);
      return paths;
    }
    ::usleep(10000);
  }
  return {};
}

// Starts lumaflash-sim with `args` and returns the path of its first device.
std::string StartSimulator(std::unique_ptr<RunningProgram>& sim, const std::string& pathsFile,
                           const std::vector<std::string>& args) {
  std::string command = "'" LUMAFLASH_SIM_PATH "' ";
  for (const auto& arg : args) {
    command += "'" + arg + "' ";
  }
  sim = std::make_unique<RunningProgram>(
      std::vector<std::string>{"/bin/sh", "-c", "exec " + command + "> " + pathsFile}, "/");
  for (int i = 0; i < 200; ++i) {
    FILE* file = std::fopen(pathsFile.c_str(), "r");
    char line[256] = {};
    bool got = file != nullptr && std::fgets(line, sizeof line, file) != nullptr;
    if (file != nullptr)
      std::fclose(file);
    if (got) {
      std::string path(line);
      return path.substr(0, path.find(' '));
    }
    ::usleep(10000);
  }
  return {};
}

void IdentifyExchangeCost(const std::string& dir) {
  std::unique_ptr<RunningProgram> sim;
  std::string port = StartSimulator(sim, dir + "/silent", {"--fault", "silent:identify"});
  lumaflash::serial::PortLink link;
  if (!link.OpenPort({1, port})) {
    std::printf("cannot open %s\n", port.c_str());
    return;
  }
  constexpr int kRounds = 40;
  std::array<uint8_t, 1000> reply{};
  const std::array<uint8_t, 1> identify{lumaflash::protocol::kIdentify};
  const double cpuStart = CpuSeconds();
  const auto start = Clock::now();
  for (int i = 0; i < kRounds; ++i) {
    (void)link.Exchange(identify, reply, lumaflash::protocol::kIdentifyTimeoutMs);
  }
  const double wall = SecondsSince(start);
  const double cpu = CpuSeconds() - cpuStart;
  std::printf("identify exchange, silent device, %d rounds of 50 ms:\n", kRounds);
  std::printf("  wall %.1f ms per exchange, CPU %.3f ms per exchange (%.2f %% of wall)\n",
              wall * 1000 / kRounds, cpu * 1000 / kRounds, 100 * cpu / wall);
  sim->Signal(SIGTERM);
}

double Median(std::vector<double> values) {
  std::sort(values.begin(), values.end());
  return values.empty() ? 0 : values[values.size() / 2];
}

// One pass over every process that looks for programs holding a port: the cost the update pays
// between the device's reply and the start packet when no scan has just looked.
void HolderLookCost(const std::string& port) {
  std::vector<double> passes;
  for (int i = 0; i < 20; ++i) {
    const auto start = Clock::now();
    lumaflash::serial::FindPortHolders(port);
    passes.push_back(SecondsSince(start) * 1000);
  }
  std::printf("  a look for programs that hold the port: median %.1f ms per pass (%zu passes)\n",
              Median(passes), passes.size());
}

// An update of 64 KiB as the faces run it: a scan (which looks for holders while its probe
// waits), then the attempt, timed from the attempt's start (image load, its first record, the
// transfer, the last record). Medians of a few rounds, against the protocol's floor.
void UpdateCost(const std::string& dir) {
  constexpr uint32_t kLength = 64 * 1024;
  constexpr uint16_t kBlockSize = 512;
  constexpr uint16_t kType = 0x3514;  // a 10 ms type
  constexpr int kRounds = 11;
  std::unique_ptr<RunningProgram> sim;
  std::string port = StartSimulator(sim, dir + "/device", {"--type", "3514", "--stay"});
  const std::string image = dir + "/update.bin";
  const auto file =
      lumaflash::sim::BuildImageFile(1, kType, lumaflash::sim::PatternPayload(kLength, 1));
  if (FILE* out = std::fopen(image.c_str(), "wb")) {
    std::fwrite(file.data(), 1, file.size(), out);
    std::fclose(out);
  }
  const auto blocks = kLength / kBlockSize;
  const double floor =
      (100.0 + blocks * double(lumaflash::protocol::BlockPause(kType).count()) + 100.0) / 1000;
  std::printf("update of %u KiB, block size %u, 10 ms type (%u blocks), after a scan, %d rounds:\n",
              kLength / 1024, kBlockSize, blocks, kRounds);
  // The modes take turns round by round, so that a machine whose load changes meanwhile weighs
  // on each alike.
  enum class Mode { TransferAlone, RecordsOff, Recorded };
  constexpr std::array kModes{Mode::TransferAlone, Mode::RecordsOff, Mode::Recorded};
  lumaflash::records::RecordsConfig config;
  config.storePath = dir + "/records.sqlite";
  lumaflash::records::Recorder recorder(config);
  // As the command line does: the image is checked once, before any port is opened.
  const auto checked = lumaflash::session::CheckImage(image);
  if (!checked) {
    return;
  }
  std::array<std::vector<double>, kModes.size()> walls;
  std::array<std::string, kModes.size()> results;
  for (int round = 0; round < kRounds; ++round) {
    for (const Mode mode : kModes) {
      const auto probes = lumaflash::discovery::ProbePorts(lumaflash::serial::NamedPorts({port}));
      lumaflash::protocol::InterfaceRecord record;
      lumaflash::protocol::ParseIdentifyReply(probes.at(0).reply, 1, record);
      record.portPath = port;
      auto buffer = std::make_unique<lumaflash::image::FirmwareImage>();
      const bool loaded = lumaflash::image::LoadFirmwareImage(image, *buffer).has_value();
      lumaflash::update::UpdateListener quiet;
      const auto start = Clock::now();
      std::string& result = results[static_cast<std::size_t>(mode)];
      if (mode == Mode::TransferAlone) {
        result = !loaded ? "no image"
                         : lumaflash::update::FlashResultName(lumaflash::update::ResultOf(
                               lumaflash::update::TransferImage(record, *buffer, image, quiet)));
      } else {
        lumaflash::session::AttemptRules rules;
        rules.recorder = mode == Mode::Recorded ? &recorder : nullptr;
        rules.checked = &*checked;
        const auto attempt = lumaflash::session::RunAttempt(rules, record, image, *buffer, quiet);
        result =
            attempt
                ? lumaflash::update::FlashResultName(lumaflash::update::ResultOf(attempt->outcome))
                : "refused";
      }
      walls[static_cast<std::size_t>(mode)].push_back(SecondsSince(start));
    }
  }
  const char* names[] = {
      "the transfer alone (update::TransferImage)", "the recorded attempt, records off",
      "the recorded attempt with its record (first row before the start packet)"};
  for (const Mode mode : kModes) {
    const auto& times = walls[static_cast<std::size_t>(mode)];
    const double wall = Median(times);
    std::printf(
        "  %s: %s, median wall %.3f s (min %.3f, max %.3f), floor %.3f s, ratio %.3f "
        "(min %.3f)\n",
        names[static_cast<std::size_t>(mode)], results[static_cast<std::size_t>(mode)].c_str(),
        wall, *std::min_element(times.begin(), times.end()),
        *std::max_element(times.begin(), times.end()), floor, wall / floor,
        *std::min_element(times.begin(), times.end()) / floor);
  }
  HolderLookCost(port);
  sim->Signal(SIGTERM);
  sim->Finish();
}

// Wall time of `cli flash IMAGE --all` on `count` fresh simulated devices, with the exit code;
// `records` names the store, or "off".
std::pair<double, int> CliUpdateTime(const std::string& cli, const std::string& dir,
                                     const std::string& image, std::size_t count,
                                     const std::string& records) {
  static int run = 0;  // each run's simulator writes its own list of ports
  std::unique_ptr<RunningProgram> sim;
  const auto ports = StartSimulatorDevices(
      sim, dir + "/devices" + std::to_string(count) + "-" + std::to_string(++run),
      {"--count", std::to_string(count), "--type", "3514", "--bootloader", "0101"}, count);
  std::vector<std::string> args{cli, "flash", image, "--all", "--records", records};
  for (const auto& port : ports) {
    args.insert(args.end(), {"--port", port});
  }
  const auto start = Clock::now();
  auto result = lumaflash::testing::RunProgram(args, dir);
  const double wall = SecondsSince(start);
  sim->Signal(SIGTERM);
  sim->Finish();
  if (result.exitCode != 0) {
    std::printf("  %s exit %d: %s\n", cli.c_str(), result.exitCode, result.err.c_str());
  }
  return {wall, result.exitCode};
}

std::string WriteImage(const std::string& dir, uint32_t length) {
  const std::string image = dir + "/bench" + std::to_string(length) + ".bin";
  const auto file =
      lumaflash::sim::BuildImageFile(1, 0x3514, lumaflash::sim::PatternPayload(length, 1));
  if (FILE* out = std::fopen(image.c_str(), "wb")) {
    std::fwrite(file.data(), 1, file.size(), out);
    std::fclose(out);
  }
  return image;
}

// The whole run of `flash --all` (program start and scan included) over eight devices, without
// records and with the local store, the two modes taking turns round by round.
void ParallelUpdate(const std::string& cli, const std::string& dir) {
  constexpr int kRounds = 5;
  const std::string image64 = WriteImage(dir, 64 * 1024);
  const auto [one, oneExit] = CliUpdateTime(cli, dir, image64, 1, "off");
  const auto [eight, eightExit] = CliUpdateTime(cli, dir, image64, 8, "off");
  std::printf("%s flash --all, 64 KiB image, 10 ms type, whole run (scan included):\n",
              cli.c_str());
  std::printf("  1 device %.3f s (exit %d), 8 devices %.3f s (exit %d), ratio %.3f (aim <= 1.15)\n",
              one, oneExit, eight, eightExit, eight / one);
  for (const uint32_t kib : {32u, 256u}) {
    const std::string image = WriteImage(dir, kib * 1024);
    std::vector<double> off, kept;
    for (int round = 0; round < kRounds; ++round) {
      off.push_back(CliUpdateTime(cli, dir, image, 8, "off").first);
      kept.push_back(
          CliUpdateTime(cli, dir, image, 8, dir + "/run" + std::to_string(round) + ".sqlite")
              .first);
    }
    std::printf(
        "  8 devices, %u KiB: records off median %.3f s, local records median %.3f s, "
        "ratio %.3f (%d rounds each)\n",
        kib, Median(off), Median(kept), Median(kept) / Median(off), kRounds);
  }
}

void ParallelScan(const std::string& dir) {
  constexpr std::size_t kDevices = 8;
  constexpr int kRounds = 10;
  std::unique_ptr<RunningProgram> sim;
  const auto paths = StartSimulatorDevices(
      sim, dir + "/scan", {"--count", std::to_string(kDevices), "--mix"}, kDevices);
  const auto ports = lumaflash::serial::NamedPorts(paths);
  for (std::size_t threads : {lumaflash::discovery::kProbeThreads, std::size_t{1}}) {
    std::size_t answered = 0;
    const auto start = Clock::now();
    for (int i = 0; i < kRounds; ++i) {
      for (const auto& probe : lumaflash::discovery::ProbePorts(ports, threads)) {
        answered += probe.reply.size() >= lumaflash::protocol::kMinIdentifyReply ? 1u : 0u;
      }
    }
    const double perScan = SecondsSince(start) / kRounds * 1000;
    std::printf(
        "scan of %zu simulated devices on %zu thread(s): %.1f ms per scan, %.2f times the "
        "50 ms identify time-out (aim <= 1.5 in parallel); %zu of %zu answered\n",
        kDevices, threads, perScan, perScan / lumaflash::protocol::kIdentifyTimeoutMs, answered,
        kDevices * kRounds);
  }
  sim->Signal(SIGTERM);
  sim->Finish();
}

// From the moment a port's node appears in /dev to the start packet on its line, with
// `lumaflash-cli flash --wait` already waiting. The port appears in a fake sys/dev tree, as the
// kernel would make it, with its node leading to a simulated device.
void PlugToStart(const std::string& dir) {
  constexpr int kRounds = 5;
  const std::string image = dir + "/plug.bin";
  const auto file =
      lumaflash::sim::BuildImageFile(1, 0x3514, lumaflash::sim::PatternPayload(1024, 1));
  if (FILE* out = std::fopen(image.c_str(), "wb")) {
    std::fwrite(file.data(), 1, file.size(), out);
    std::fclose(out);
  }
  std::vector<double> delays;
  for (int round = 0; round < kRounds; ++round) {
    lumaflash::testing::FakeSystem system(dir + "/plug" + std::to_string(round));
    RunningProgram cli({LUMAFLASH_CLI_PATH, "flash", image, "--wait"}, dir);
    ::usleep(700000);  // long enough to be waiting; the figure does not depend on it
    lumaflash::sim::DeviceConfig config;
    auto started = lumaflash::sim::PtyDevice::Start(config, {});
    if (!started) {
      std::printf("cannot start a simulated device: %s\n",
                  lumaflash::sim::Describe(started.error()).c_str());
      return;
    }
    const auto device = std::move(*started);
    system.Tty("ttyACM0", "usb1/1-1/1-1:1.0");
    const auto plugged = Clock::now();
    system.Node("ttyACM0", device->Path());
    while (!device->Snapshot().StartLengthByte() && SecondsSince(plugged) < 5) {
      ::usleep(1000);
    }
    delays.push_back(SecondsSince(plugged));
    const auto result = cli.Finish();
    if (result.exitCode != 0) {
      std::printf("  lumaflash-cli exit %d: %s\n", result.exitCode, result.err.c_str());
    }
  }
  std::sort(delays.begin(), delays.end());
  std::printf(
      "flash --wait, port appears to start packet, %d rounds: median %.3f s, min %.3f s, max "
      "%.3f s (aim <= 0.2 s)\n",
      kRounds, delays[kRounds / 2], delays.front(), delays.back());
}

}  // namespace

int main(int argc, char** argv) {
  lumaflash::platform::PrepareProcess();  // as every program starts
  // Another build's lumaflash-cli may be named, to compare its whole runs with this one's.
  const std::string cli = argc > 1 ? argv[1] : LUMAFLASH_CLI_PATH;
  char pattern[] = "/tmp/lumaflash-bench-XXXXXX";
  const char* made = ::mkdtemp(pattern);
  if (made == nullptr) {
    std::perror("update_bench: cannot make a temporary directory");
    return 1;
  }
  const std::string dir = made;
  IdentifyExchangeCost(dir);
  UpdateCost(dir);
  ParallelScan(dir);
  ParallelUpdate(cli, dir);
  PlugToStart(dir);
  std::string cleanup = "rm -rf '" + dir + "'";
  return std::system(cleanup.c_str()) == 0 ? 0 : 1;
}
