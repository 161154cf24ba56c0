// lumaflash-cli used as a careless or hostile user would: what the device got, recorded and said.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <tuple>
#include <vector>

#include "core/protocol/identify.h"
#include "core/protocol/programming.h"
#include "sim/device_model.h"
#include "sim/image_file.h"
#include "tests/support/raw_pty.h"
#include "tests/support/read_file.h"
#include "tests/support/run_program.h"
#include "tests/support/sim_devices.h"
#include "tests/support/temp_dir.h"

namespace lumaflash {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using testing::Has, testing::ReadBytes, testing::StartPackets, testing::WaitFor;

// Whether `signal` is still waiting to be taken by the process (its shared pending set).
bool SignalPending(int pid, int signal) {
  const std::string status = ReadBytes("/proc/" + std::to_string(pid) + "/status");
  const auto at = status.find("ShdPnd:");
  return at != std::string::npos &&
         ((std::stoull(status.substr(at + 7), nullptr, 16) >> (signal - 1)) & 1u) != 0;
}

// What every row starts from: a folder, one device of type 3514 (10 ms per block) with 64-byte
// blocks and serial AB0007, a short image and a long one (200 blocks, two seconds).
struct Bench {
  explicit Bench(const sim::DeviceConfig& config) : device(testing::StartDevice(config)) {}
  sim::DeviceModel Got() const { return device->Snapshot(); }
  auto Start(std::vector<std::string> args, bool closedStdout = false) const {
    args.insert(args.begin(), LUMAFLASH_CLI_PATH);
    return std::make_unique<testing::RunningProgram>(args, dir.Path(), closedStdout);
  }
  auto Run(std::vector<std::string> args, bool closedStdout = false) const {
    return Start(std::move(args), closedStdout)->Finish();
  }
  testing::TempDir dir;
  std::unique_ptr<sim::PtyDevice> device;
  std::string port = device->Path();
  std::string small = dir.Write("s", sim::BuildImageFile(1, 0x3514, sim::PatternPayload(640, 1)));
  std::string large = dir.Write("l", sim::BuildImageFile(1, 0x3514, sim::PatternPayload(12800, 2)));
};

// Mid-transfer, a signal stops the update between blocks (exit 10, result `interrupted`, no run
// packet); standard output going away (SIGPIPE) does not. The record is written, the port let go.
void MidTransfer(Bench& b, int signal) {
  auto cli = b.Start({"flash", b.large, "--json", "--log", "log.csv", "--port", b.port});
  ASSERT_TRUE(WaitFor([&] { return b.Got().BlockCount() >= 5; }));
  signal == SIGPIPE ? cli->CloseOutput() : cli->Signal(signal);
  const auto result = cli->Finish();
  const bool stops = signal != SIGPIPE;
  EXPECT_EQ(result.exitCode, stops ? 10 : 0) << result.err;
  EXPECT_EQ(Has(result.err, "interrupted while updating " + b.port + " (serial AB0007)"), stops);
  EXPECT_TRUE(!stops || Has(result.out, "\"result\":\"interrupted\"")) << result.out;
  EXPECT_TRUE(Has(ReadBytes(b.dir / "log.csv"), stops ? ",interrupted," : ",ok,"));
  EXPECT_NE(b.Got().RunReceived(), stops);
  const int fd = ::open(b.port.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
  EXPECT_EQ(::flock(fd, LOCK_EX | LOCK_NB), 0) << "the port is free again";
  ::close(fd);
}

struct Row {
  const char* name;
  std::function<void(Bench&)> check;
};

const Row kRows[] = {
    {"SettingsFileLinkOrReadOnly",  // it and a link's target stay, that is said
     [](Bench& b) {
       const fs::path ini = b.dir / "Lumaflash.ini";
       testing::WriteBytes(b.dir / "kept", "[KEEP]\nX=1\n");
       fs::create_symlink(b.dir / "kept", ini);
       for (const std::string says : {"is a symbolic link", "is read-only"}) {
         const auto result = b.Run({"flash", b.small, "--port", b.port});
         EXPECT_EQ(result.exitCode, 0) << result.err;
         EXPECT_TRUE(Has(result.err, says + "; settings were not saved")) << result.err;
         EXPECT_EQ(ReadBytes(ini), "[KEEP]\nX=1\n");
         EXPECT_EQ(fs::is_symlink(ini), says == "is a symbolic link");
         fs::remove(ini);
         fs::copy_file(b.dir / "kept", ini);
         fs::permissions(ini, fs::perms(0444));
       }
     }},
    {"NoRegularFileEmptyPayloadHeldPort",  // refused, nothing sent
     [](Bench& b) {
       const int held = ::open(b.port.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
       ASSERT_EQ(::flock(held, LOCK_EX | LOCK_NB), 0);  // as another serial program does
       const auto empty = b.dir.Write("empty.bin", sim::BuildImageFile(1, 0x3514, {}));
       ASSERT_EQ(::mkfifo((b.dir / "fifo").c_str(), 0600), 0);
       const std::tuple<std::vector<std::string>, int, std::string> refusals[] = {
           {{"flash", empty, "--port", b.port}, 3, "empty payload"},
           {{"flash", "fifo", "--port", b.port}, 3, "not a regular file"},
           {{"info", b.dir.Path()}, 3, "is a directory"},
           {{"info", "/dev/zero"}, 3, "not a regular file"},
           {{"flash", b.small, "--log", "fifo", "--port", b.port}, 1, "not a regular file"},
           {{"flash", b.small, "--log", "", "--port", b.port}, 2, "--log needs a file name"},
           {{"flash", b.small, "--port", b.port}, 8, b.port + " is busy"},
       };
       for (const auto& [args, exitCode, says] : refusals) {
         const auto result = b.Run(args);
         EXPECT_EQ(result.exitCode, exitCode) << args[1] << result.err;
         EXPECT_TRUE(Has(result.err, says)) << result.err;
         EXPECT_FALSE(Has(result.err, "no device in bootloader mode")) << result.err;
       }
       ::close(held);
       EXPECT_TRUE(b.Got().Packets().empty());
     }},
    {"SigintMidTransfer", [](Bench& b) { MidTransfer(b, SIGINT); }},
    {"SigtermMidTransfer", [](Bench& b) { MidTransfer(b, SIGTERM); }},
    {"SighupMidTransfer", [](Bench& b) { MidTransfer(b, SIGHUP); }},
    {"StdoutGoneMidTransfer", [](Bench& b) { MidTransfer(b, SIGPIPE); }},
    {"CtrlCWhileProbing",  // Ctrl+C while the probes run: no start packet, even to a device
                           // that answers once the signal has been taken
     [](Bench& b) {
       testing::RawPty device;  // answered by hand, so the signal lands inside the probe
       auto cli = b.Start({"flash", b.small, "--port", device.Path()});
       ASSERT_EQ(device.Received(10000), std::vector<uint8_t>{protocol::kIdentify});
       cli->Signal(SIGINT);
       ASSERT_TRUE(WaitFor([&] { return !SignalPending(cli->Pid(), SIGINT); }));
       device.Send(sim::EncodeIdentifyReply(b.Got().Config()));
       const auto result = cli->Finish();
       EXPECT_EQ(result.exitCode, 10) << result.err;
       EXPECT_TRUE(Has(result.err, "nothing was sent")) << result.err;
       EXPECT_EQ(device.ReceivedSoFar(), std::optional(std::vector<uint8_t>{}))
           << "no start packet";
     }},
    {"LineSettingsDuringUpdate",  // raw 115200 8N1, no flow control, held exclusively
     [](Bench& b) {
       // Left behind by another program: every setting the update must not keep.
       const int fd = ::open(b.port.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
       termios dirty{};
       ::tcgetattr(fd, &dirty);
       ::cfsetspeed(&dirty, B9600);
       dirty.c_cflag =
           (dirty.c_cflag & ~static_cast<tcflag_t>(CSIZE)) | CS7 | PARENB | CSTOPB | CRTSCTS;
       dirty.c_iflag |= IXON | IXOFF | IXANY | ICRNL | ISTRIP | INPCK;
       dirty.c_lflag |= ICANON | ECHO | ISIG | IEXTEN;
       dirty.c_oflag |= OPOST;
       ASSERT_EQ(::tcsetattr(fd, TCSANOW, &dirty), 0);
       ::close(fd);
       auto cli = b.Start({"flash", b.large, "--port", b.port});
       ASSERT_TRUE(WaitFor([&] { return StartPackets(b.Got()) == 1; }));
       const auto line = b.device->ReadHostLine();
       ASSERT_FALSE(b.Got().RunReceived()) << "read back after the update, not during it";
       ASSERT_TRUE(line.has_value());
       const termios& t = line->settings;
       EXPECT_TRUE(line->exclusive);
       EXPECT_EQ(::cfgetispeed(&t), B115200);
       EXPECT_EQ(::cfgetospeed(&t), B115200);
       EXPECT_EQ(t.c_cflag & (CSIZE | PARENB | CSTOPB | CRTSCTS), CS8);
       EXPECT_EQ(t.c_cflag & (CREAD | CLOCAL), CREAD | CLOCAL);
       EXPECT_EQ(t.c_iflag & (IXON | IXOFF | IXANY | ICRNL | INLCR | IGNCR | ISTRIP | INPCK), 0u);
       EXPECT_EQ(t.c_lflag & (ICANON | ECHO | ISIG | IEXTEN), 0u);
       EXPECT_EQ(t.c_oflag & OPOST, 0u);
       EXPECT_EQ(cli->Finish().exitCode, 0);
     }},
    {"StdoutClosedPortNamedTwice",  // no text to the device, one update
     [](Bench& b) {
       const auto result = b.Run({"flash", b.small, "--port", b.port, "--port", b.port}, true);
       EXPECT_EQ(result.exitCode, 0) << result.err;
       EXPECT_FALSE(Has(result.err, "busy")) << result.err;
       EXPECT_EQ(StartPackets(b.Got()), 1);
       EXPECT_EQ(b.Got().StrayBytes(), 0u);
     }},
    {"PortPathNotUtf8",  // JSON stays UTF-8; scan --json --trace traces on stderr
     [](Bench& b) {
       const std::string odd = (b.dir / "tty\xff\xfe").string();
       fs::create_symlink(b.port, odd);
       for (const auto& args :
            {std::vector<std::string>{"scan", "--json", "--trace", "--port", odd},
             {"flash", b.small, "--json", "--port", odd}}) {
         const auto result = b.Run(args);
         EXPECT_EQ(result.exitCode, 0) << args[0] << result.err;
         EXPECT_FALSE(Has(result.out, "\xff")) << args[0];
         EXPECT_EQ(Has(result.err, "Find Interface START"), args[0] == "scan") << result.err;
         EXPECT_TRUE(Has(result.out, "tty\xEF\xBF\xBD\xEF\xBF\xBD\"")) << args[0] << result.out;
       }
     }},
    {"ScannedTerminalKeepsItsSettings",
     [](Bench& b) {
       testing::RawPty terminal;
       const int fd = ::open(terminal.Path().c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
       termios before{};
       termios after{};
       ::tcgetattr(fd, &before);
       before.c_lflag |= ICANON | ECHO;
       ::cfsetspeed(&before, B9600);
       ::tcsetattr(fd, TCSANOW, &before);
       ::tcgetattr(fd, &before);
       b.Run({"scan", "--port", terminal.Path()});
       ::tcgetattr(fd, &after);
       ::close(fd);
       EXPECT_EQ(std::memcmp(&before, &after, sizeof after), 0) << "line settings changed";
     }},
    {"LogLockedByAnotherWriter",  // header and line wait for the lock, header written once
     [](Bench& b) {
       const int log = ::open((b.dir / "log.csv").c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
       ASSERT_EQ(::flock(log, LOCK_EX), 0);
       auto cli = b.Start({"flash", b.small, "--json", "--log", "log.csv", "--port", b.port});
       ASSERT_TRUE(cli->WaitForOutput("\"result\":\"ok\""));
       // The kernel lists a program that waits for a lock after "->".
       const std::string waiter = "-> FLOCK  ADVISORY  WRITE " + std::to_string(cli->Pid()) + " ";
       EXPECT_TRUE(WaitFor([&] { return Has(ReadBytes("/proc/locks"), waiter); }));
       EXPECT_EQ(fs::file_size(b.dir / "log.csv"), 0u);
       ::close(log);
       EXPECT_EQ(cli->Finish().exitCode, 0);
       const std::string text = ReadBytes(b.dir / "log.csv");
       EXPECT_EQ(text.find("timestamp"), text.rfind("timestamp")) << text;
     }},
    {"RepeatCountsAFailedAttempt",
     [](Bench& b) {
       b.device = testing::StartDevice(b.Got().Config(),  // one that refuses every start packet
                                       {{sim::Fault::WrongAck, sim::PacketKind::Start, -1}});
       auto cli = b.Start({"flash", b.small, "--repeat", "--port", b.device->Path()});
       ASSERT_TRUE(cli->WaitForOutput("Waiting for a further device"));
       cli->Signal(SIGINT);
       EXPECT_TRUE(Has(cli->Finish().out, "Stopped. 0 update(s) in this run, 1 failed."));
     }},
};

class Hostile : public ::testing::TestWithParam<Row> {};

TEST_P(Hostile, ConditionHolds) {
  sim::DeviceConfig config = testing::Device(0x3514, 64);
  config.bootloaderVersion = 0x0101;
  config.serial = {0xab, 0x00, 0x07};
  config.stayInBootloader = true;  // a row may update it more than once
  Bench bench(config);
  GetParam().check(bench);
}

INSTANTIATE_TEST_SUITE_P(Rows, Hostile, ::testing::ValuesIn(kRows),
                         [](const auto& row) { return std::string(row.param.name); });

}  // namespace
}  // namespace lumaflash
