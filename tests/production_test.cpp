// The command line on a production bench: several simulated devices at once, choosing one by
// serial number, waiting for devices, repeating, busy ports, Ctrl+C, and the JSON and CSV
// records, all through the real lumaflash-cli binary.
#include <gtest/gtest.h>
#include <sys/file.h>

#include <chrono>
#include <csignal>
#include <fstream>
#include <map>
#include <optional>
#include <regex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "protocol/programming.h"
#include "sim/image_file.h"
#include "support/run_program.h"
#include "support/sim_devices.h"
#include "support/temp_dir.h"

namespace lumaflash {
namespace {

using namespace std::chrono_literals;
using Fields = std::map<std::string, std::optional<std::string>>;  // null is nullopt

testing::ProgramResult Cli(const testing::TempDir& dir, std::vector<std::string> args) {
  args.insert(args.begin(), LUMAFLASH_CLI_PATH);
  return testing::RunProgram(args, dir.Path());
}

std::unique_ptr<testing::RunningProgram> StartCli(const testing::TempDir& dir,
                                                  std::vector<std::string> args) {
  args.insert(args.begin(), LUMAFLASH_CLI_PATH);
  return std::make_unique<testing::RunningProgram>(args, dir.Path());
}

// A fast device type (5 ms after each block) with small blocks and its own serial number, which
// bootloader 0101 reports for every type.
sim::DeviceConfig Unit(uint8_t serial, uint16_t deviceId = 0x3611, bool stay = false) {
  sim::DeviceConfig config = testing::Device(deviceId, 64);
  config.bootloaderVersion = 0x0101;
  config.serial = {0xab, 0x00, serial};
  config.stayInBootloader = stay;
  return config;
}

// Parses one flat JSON object of strings, integers and nulls; nothing when it is not one.
std::optional<Fields> ParseJsonObject(const std::string& line) {
  Fields fields;
  std::size_t i = 0;
  auto string = [&]() -> std::optional<std::string> {
    if (i >= line.size() || line[i] != '"') {
      return std::nullopt;
    }
    std::string text;
    for (++i; i < line.size() && line[i] != '"'; ++i) {
      if (line[i] == '\\' && i + 1 < line.size()) {
        ++i;
        text += line[i] == 'n' ? '\n' : line[i];
      } else {
        text += line[i];
      }
    }
    ++i;
    return text;
  };
  if (line.empty() || line[i++] != '{') {
    return std::nullopt;
  }
  while (i < line.size() && line[i] != '}') {
    auto key = string();
    if (!key || line[i++] != ':') {
      return std::nullopt;
    }
    if (line.compare(i, 4, "null") == 0) {
      fields[*key] = std::nullopt;
      i += 4;
    } else if (line[i] == '"') {
      fields[*key] = string();
    } else {
      const std::size_t end = line.find_first_not_of("-0123456789", i);
      fields[*key] = line.substr(i, end - i);
      i = end;
    }
    if (line[i] == ',') {
      ++i;
    }
  }
  return i + 1 == line.size() ? std::optional<Fields>(fields) : std::nullopt;
}

std::vector<Fields> ParseJsonLines(const std::string& out) {
  std::vector<Fields> objects;
  std::istringstream lines(out);
  for (std::string line; std::getline(lines, line);) {
    auto object = ParseJsonObject(line);
    EXPECT_TRUE(object.has_value()) << "not a JSON object: " << line;
    if (object) {
      objects.push_back(*object);
    }
  }
  return objects;
}

// Splits one CSV line with RFC 4180 quoting.
std::vector<std::string> ParseCsvLine(const std::string& line) {
  std::vector<std::string> cells(1);
  bool quoted = false;
  for (std::size_t i = 0; i < line.size(); ++i) {
    const char c = line[i];
    if (quoted && c == '"' && i + 1 < line.size() && line[i + 1] == '"') {
      cells.back() += '"';
      ++i;
    } else if (c == '"') {
      quoted = !quoted;
    } else if (c == ',' && !quoted) {
      cells.emplace_back();
    } else {
      cells.back() += c;
    }
  }
  return cells;
}

std::vector<std::vector<std::string>> ReadCsv(const std::filesystem::path& path) {
  std::ifstream in(path);
  std::vector<std::vector<std::string>> rows;
  for (std::string line; std::getline(in, line);) {
    rows.push_back(ParseCsvLine(line));
  }
  return rows;
}

bool ReceivedExactly(const sim::PtyDevice& device, const std::vector<uint8_t>& payload) {
  const sim::DeviceModel got = device.Snapshot();
  const std::size_t blockSize = got.Config().blockSize;
  const std::size_t blocks = (payload.size() + blockSize - 1) / blockSize;
  std::vector<uint8_t> padded = payload;
  padded.resize(blocks * blockSize, 0);
  return got.RunReceived() && got.Image() == padded &&
         got.BlockCount() == static_cast<int>(blocks) && got.TimingViolations().empty() &&
         got.ProtocolViolations().empty();
}

int StartPackets(const sim::PtyDevice& device) {
  int starts = 0;
  const sim::DeviceModel got = device.Snapshot();
  for (const auto& packet : got.Packets()) {
    starts += packet.size() == 4 && packet[0] == protocol::kProgram ? 1 : 0;
  }
  return starts;
}

template <typename Condition>
bool WaitFor(Condition condition, std::chrono::milliseconds limit = 10s) {
  for (auto waited = 0ms; waited < limit; waited += 20ms) {
    if (condition()) {
      return true;
    }
    std::this_thread::sleep_for(20ms);
  }
  return condition();
}

std::size_t Occurrences(const std::string& text, const std::string& word) {
  std::size_t count = 0;
  for (std::size_t at = text.find(word); at != std::string::npos; at = text.find(word, at + 1)) {
    ++count;
  }
  return count;
}

TEST(Production, AllUpdatesEveryMatchingDeviceAndSkipsTheOthers) {
  testing::TempDir dir;
  const auto payload = sim::PatternPayload(1000, 7);
  const auto image = dir.Write("fw.bin", sim::BuildImageFile(1, 0x3611, payload));
  std::vector<std::unique_ptr<sim::PtyDevice>> devices;
  for (uint8_t serial = 1; serial <= 3; ++serial) {
    devices.push_back(testing::StartDevice(Unit(serial)));
  }
  devices.push_back(testing::StartDevice(Unit(4, 0x3514)));
  std::vector<std::string> args{"flash",  image.string(), "--all",
                                "--json", "--log",        (dir / "run.csv").string()};
  for (const auto& device : devices) {
    args.insert(args.end(), {"--port", device->Path()});
  }
  auto result = Cli(dir, args);
  EXPECT_EQ(result.exitCode, 0) << result.err;
  for (std::size_t i = 0; i < 3; ++i) {
    EXPECT_TRUE(ReceivedExactly(*devices[i], payload)) << devices[i]->Path();
  }
  EXPECT_EQ(devices[3]->Snapshot().Packets().size(), 1u) << "only the identify command";
  EXPECT_NE(result.err.find("skipped " + devices[3]->Path()), std::string::npos) << result.err;

  const auto objects = ParseJsonLines(result.out);
  ASSERT_EQ(objects.size(), 3u) << result.out;
  const std::string sha = "^[0-9a-f]{64}$";
  for (std::size_t i = 0; i < objects.size(); ++i) {
    const Fields& object = objects[i];
    EXPECT_EQ(object.at("port"), devices[i]->Path());
    EXPECT_EQ(object.at("serial"), "AB000" + std::to_string(i + 1));
    EXPECT_EQ(object.at("deviceId"), "3611");
    EXPECT_EQ(object.at("firmwareVersion"), "0105");
    EXPECT_EQ(object.at("image"), image.string());
    EXPECT_TRUE(std::regex_match(*object.at("sha256"), std::regex(sha)));
    EXPECT_EQ(object.at("result"), "ok");
    EXPECT_EQ(object.at("status"), std::nullopt);
    EXPECT_GT(std::stoll(*object.at("durationMs")), 0);
  }

  const auto rows = ReadCsv(dir / "run.csv");
  ASSERT_EQ(rows.size(), 4u);
  EXPECT_EQ(rows[0], (std::vector<std::string>{"timestamp", "port", "serial", "deviceId",
                                               "firmwareVersion", "image", "sha256", "result",
                                               "status", "durationMs", "usbSerial"}));
  const std::regex iso(R"(^\d{4}-\d\d-\d\dT\d\d:\d\d:\d\d[+-]\d\d:\d\d$)");
  for (std::size_t i = 1; i < rows.size(); ++i) {
    ASSERT_EQ(rows[i].size(), 11u);
    EXPECT_TRUE(std::regex_match(rows[i][0], iso)) << rows[i][0];
    EXPECT_EQ(rows[i][1], *objects[i - 1].at("port"));
    EXPECT_EQ(rows[i][2], *objects[i - 1].at("serial"));
    EXPECT_EQ(rows[i][6], *objects[i - 1].at("sha256"));
    EXPECT_EQ(rows[i][7], "ok");
  }
  std::ifstream ini(dir / "Lumaflash.ini");
  std::string text((std::istreambuf_iterator<char>(ini)), std::istreambuf_iterator<char>());
  EXPECT_NE(text.find("LAST_DEVICE=3611"), std::string::npos) << text;
}

TEST(Production, OneFailingDeviceDoesNotStopTheOthers) {
  testing::TempDir dir;
  const auto payload = sim::PatternPayload(1000, 3);
  const auto image = dir.Write("fw.bin", sim::BuildImageFile(1, 0x3611, payload));
  struct Case {
    const char* name;
    sim::Fault fault;
    std::string status;
  };
  for (const Case& c : {Case{"silent", sim::Fault::Silent, "Timeout on write data !"},
                        Case{"vanishes", sim::Fault::Vanish, "vanished"}}) {
    SCOPED_TRACE(c.name);
    std::vector<std::unique_ptr<sim::PtyDevice>> devices;
    devices.push_back(testing::StartDevice(Unit(1)));
    devices.push_back(testing::StartDevice(Unit(2), {{c.fault, sim::PacketKind::Block, 4}}));
    devices.push_back(testing::StartDevice(Unit(3)));
    const auto log = dir / (std::string(c.name) + ".csv");
    std::vector<std::string> args{"flash",  image.string(), "--all",
                                  "--json", "--log",        log.string()};
    for (const auto& device : devices) {
      args.insert(args.end(), {"--port", device->Path()});
    }
    auto result = Cli(dir, args);
    EXPECT_EQ(result.exitCode, 11) << result.err;
    EXPECT_TRUE(ReceivedExactly(*devices[0], payload));
    EXPECT_TRUE(ReceivedExactly(*devices[2], payload));
    const auto objects = ParseJsonLines(result.out);
    ASSERT_EQ(objects.size(), 3u);
    EXPECT_EQ(objects[1].at("result"), "write-failed");
    ASSERT_TRUE(objects[1].at("status").has_value());
    EXPECT_NE(objects[1].at("status")->find("Timeout on write data !"), std::string::npos);
    EXPECT_NE(result.err.find(c.status), std::string::npos) << result.err;
    const auto rows = ReadCsv(log);
    ASSERT_EQ(rows.size(), 4u);
    EXPECT_EQ(rows[2][7], "write-failed");
    EXPECT_EQ(rows[2][8], "Timeout on write data !");
  }
}

TEST(Production, SerialNumberPicksOneDevice) {
  testing::TempDir dir;
  const auto payload = sim::PatternPayload(300, 5);
  const auto image = dir.Write("fw.bin", sim::BuildImageFile(1, 0x3611, payload));
  struct Case {
    const char* serial;
    int exitCode;
    int flashed;  // index of the device that gets the image, -1 for none
  };
  for (const Case& c : {Case{"ab0002", 0, 1}, Case{"AB0001", 0, 0}, Case{"ab 00 03", 4, -1}}) {
    SCOPED_TRACE(c.serial);
    auto first = testing::StartDevice(Unit(1));
    auto second = testing::StartDevice(Unit(2));
    auto result = Cli(dir, {"flash", image.string(), "--serial", c.serial, "--port", first->Path(),
                            "--port", second->Path()});
    EXPECT_EQ(result.exitCode, c.exitCode) << result.out << result.err;
    EXPECT_EQ(ReceivedExactly(*first, payload), c.flashed == 0);
    EXPECT_EQ(ReceivedExactly(*second, payload), c.flashed == 1);
    EXPECT_EQ(StartPackets(*first) + StartPackets(*second), c.flashed < 0 ? 0 : 1);
  }
  auto first = testing::StartDevice(Unit(1));
  auto second = testing::StartDevice(Unit(2));
  auto several =
      Cli(dir, {"flash", image.string(), "--port", first->Path(), "--port", second->Path()});
  EXPECT_EQ(several.exitCode, 5);
  EXPECT_NE(several.err.find("AB0001"), std::string::npos) << several.err;
  EXPECT_NE(several.err.find("--serial"), std::string::npos);
  EXPECT_EQ(StartPackets(*first) + StartPackets(*second), 0);
  auto bad = Cli(dir, {"flash", image.string(), "--serial", "xyz"});
  EXPECT_EQ(bad.exitCode, 2);
  auto noLog = Cli(dir, {"flash", image.string(), "--serial", "ab0001", "--log",
                         (dir / "missing" / "run.csv").string(), "--port", first->Path()});
  EXPECT_EQ(noLog.exitCode, 1);
  EXPECT_NE(noLog.err.find("cannot open the log"), std::string::npos) << noLog.err;
  EXPECT_EQ(StartPackets(*first), 0);
}

TEST(Production, WaitTakesADeviceThatAppearsLater) {
  testing::TempDir dir;
  const auto payload = sim::PatternPayload(500, 9);
  const auto image = dir.Write("fw.bin", sim::BuildImageFile(1, 0x3611, payload));
  const auto later = dir / "ttyLater";
  auto cli = StartCli(dir, {"flash", image.string(), "--wait", "--port", later.string()});
  std::this_thread::sleep_for(1200ms);
  auto device = testing::StartDevice(Unit(1));
  std::filesystem::create_symlink(device->Path(), later);
  auto result = cli->Finish();
  EXPECT_EQ(result.exitCode, 0) << result.out << result.err;
  EXPECT_TRUE(ReceivedExactly(*device, payload));
  EXPECT_NE(result.out.find("Waiting for a device of type 3611"), std::string::npos);
  EXPECT_EQ(Occurrences(result.err, "no such port"), 1u) << result.err;
}

TEST(Production, RepeatUpdatesEachNewUnitOnce) {
  testing::TempDir dir;
  const auto payload = sim::PatternPayload(300, 2);
  const auto image = dir.Write("fw.bin", sim::BuildImageFile(1, 0x3611, payload));
  const auto portA = dir / "ttyA";
  const auto portB = dir / "ttyB";
  // Both units stay in bootloader mode after their run packet, the hard case: they still answer.
  auto unitA = testing::StartDevice(Unit(1, 0x3611, true));
  std::filesystem::create_symlink(unitA->Path(), portA);
  auto cli = StartCli(dir, {"flash", image.string(), "--repeat", "--json", "--port", portA.string(),
                            "--port", portB.string()});
  ASSERT_TRUE(WaitFor([&] { return unitA->Snapshot().RunReceived(); }));
  auto unitB = testing::StartDevice(Unit(2, 0x3611, true));
  std::filesystem::create_symlink(unitB->Path(), portB);
  ASSERT_TRUE(WaitFor([&] { return unitB->Snapshot().RunReceived(); }));
  // Unit A is unplugged and a unit with the same serial number comes back on its port: new.
  std::filesystem::remove(portA);
  std::this_thread::sleep_for(1500ms);
  auto unitA2 = testing::StartDevice(Unit(1, 0x3611, true));
  std::filesystem::create_symlink(unitA2->Path(), portA);
  ASSERT_TRUE(WaitFor([&] { return unitA2->Snapshot().RunReceived(); }));
  std::this_thread::sleep_for(1500ms);  // a few more rounds: nobody may be updated again
  cli->Signal(SIGINT);
  auto result = cli->Finish();
  EXPECT_EQ(result.exitCode, 0) << result.err;
  EXPECT_EQ(StartPackets(*unitA), 1);
  EXPECT_EQ(StartPackets(*unitB), 1);
  EXPECT_EQ(StartPackets(*unitA2), 1);
  EXPECT_TRUE(ReceivedExactly(*unitB, payload));
  EXPECT_TRUE(ReceivedExactly(*unitA2, payload));
  const auto objects = ParseJsonLines(result.out);
  ASSERT_EQ(objects.size(), 3u) << result.out;
  EXPECT_EQ(objects[0].at("port"), portA.string());
  EXPECT_EQ(objects[1].at("port"), portB.string());
  EXPECT_EQ(objects[2].at("port"), portA.string());
}

// Holds a port the way another serial program does: open, with an exclusive lock.
class HeldPort {
 public:
  explicit HeldPort(const std::string& path)
      : m_fd(::open(path.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC)) {
    EXPECT_GE(m_fd, 0);
    EXPECT_EQ(::flock(m_fd, LOCK_EX | LOCK_NB), 0);
  }
  ~HeldPort() { Release(); }
  HeldPort(const HeldPort&) = delete;
  HeldPort& operator=(const HeldPort&) = delete;
  void Release() {
    if (m_fd >= 0) {
      ::close(m_fd);
      m_fd = -1;
    }
  }

 private:
  int m_fd;
};

TEST(Production, BusyPortIsToldPlainlyEverywhere) {
  testing::TempDir dir;
  const auto image =
      dir.Write("fw.bin", sim::BuildImageFile(1, 0x3611, sim::PatternPayload(200, 1)));
  auto device = testing::StartDevice(Unit(1));
  auto other = testing::StartDevice(Unit(2));
  HeldPort held(device->Path());
  const std::string busy = device->Path() + " is busy: another program holds it.";
  struct Case {
    std::vector<std::string> args;
    int exitCode;
  };
  const Case cases[] = {
      {{"scan", "--port", device->Path()}, 0},
      {{"flash", image.string(), "--port", device->Path()}, 8},
      {{"flash", image.string(), "--all", "--port", device->Path(), "--port", other->Path()}, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.args[0] + (c.args.size() > 4 ? " --all" : ""));
    auto result = Cli(dir, c.args);
    EXPECT_EQ(result.exitCode, c.exitCode) << result.out << result.err;
    EXPECT_EQ(Occurrences(result.err, busy), 1u) << result.err;
  }
  EXPECT_EQ(StartPackets(*device), 0);
  EXPECT_EQ(StartPackets(*other), 1);
  // Waiting: told once, not every round, and updated as soon as the port is free.
  auto cli = StartCli(dir, {"flash", image.string(), "--wait", "--port", device->Path()});
  std::this_thread::sleep_for(2500ms);
  held.Release();
  auto result = cli->Finish();
  EXPECT_EQ(result.exitCode, 0) << result.err;
  EXPECT_EQ(Occurrences(result.err, busy), 1u) << result.err;
  EXPECT_EQ(StartPackets(*device), 1);
}

TEST(Production, CtrlCMidTransferClosesThePortAndNamesTheDevice) {
  testing::TempDir dir;
  // 0x3514 pauses 10 ms per block: 200 blocks take two seconds.
  const auto payload = sim::PatternPayload(200 * 64, 4);
  const auto image = dir.Write("fw.bin", sim::BuildImageFile(1, 0x3514, payload));
  for (bool all : {false, true}) {
    SCOPED_TRACE(all ? "--all" : "one device");
    sim::DeviceConfig config = Unit(7, 0x3514);
    auto device = testing::StartDevice(config);
    std::vector<std::string> args{"flash", image.string(), "--json", "--port", device->Path()};
    if (all) {
      args.push_back("--all");
    }
    auto cli = StartCli(dir, args);
    ASSERT_TRUE(WaitFor([&] { return device->Snapshot().BlockCount() >= 5; }));
    cli->Signal(SIGINT);
    auto result = cli->Finish();
    EXPECT_EQ(result.exitCode, 10) << result.err;
    EXPECT_NE(result.err.find("interrupted while updating " + device->Path() + " (serial AB0007)"),
              std::string::npos)
        << result.err;
    const auto objects = ParseJsonLines(result.out);
    ASSERT_EQ(objects.size(), 1u);
    EXPECT_EQ(objects[0].at("result"), "interrupted");
    const sim::DeviceModel got = device->Snapshot();
    EXPECT_FALSE(got.RunReceived());
    EXPECT_LT(got.BlockCount(), 200);
    // The port was let go: it can be opened and locked again at once.
    HeldPort again(device->Path());
  }
}

}  // namespace
}  // namespace lumaflash
