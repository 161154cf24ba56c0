// lumaflash-cli used as a careless or hostile user would: linked or read-only settings, images
// that are empty or no files at all, signals and vanishing output mid-transfer, missing standard
// descriptors, odd port names and paths. Each row runs the real program against simulated
// devices and checks what the device got, what was recorded and what was said.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "protocol/programming.h"
#include "sim/image_file.h"
#include "support/raw_pty.h"
#include "support/read_file.h"
#include "support/run_program.h"
#include "support/sim_devices.h"
#include "support/temp_dir.h"

namespace lumaflash {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using testing::ReadBytes;
using testing::WriteBytes;

// lumaflash-cli started in the background in `dir`.
std::unique_ptr<testing::RunningProgram> Start(const fs::path& dir, std::vector<std::string> args,
                                               bool closedStdout = false) {
  args.insert(args.begin(), LUMAFLASH_CLI_PATH);
  return std::make_unique<testing::RunningProgram>(args, dir, closedStdout);
}

testing::ProgramResult Run(const fs::path& dir, std::vector<std::string> args) {
  args.insert(args.begin(), LUMAFLASH_CLI_PATH);
  return testing::RunProgram(args, dir);
}

template <typename Condition>
bool WaitFor(Condition condition) {
  for (auto waited = 0ms; waited < 10s; waited += 10ms) {
    if (condition()) {
      return true;
    }
    std::this_thread::sleep_for(10ms);
  }
  return false;
}

bool Has(const std::string& text, const std::string& part) {
  return text.find(part) != std::string::npos;
}

int StartPackets(const sim::DeviceModel& got) {
  int starts = 0;
  for (const auto& packet : got.Packets()) {
    starts += packet.size() == 4 && packet[0] == protocol::kProgram ? 1 : 0;
  }
  return starts;
}

// The port is free again: another program can open and lock it at once.
bool PortIsFree(const std::string& path) {
  const int fd = ::open(path.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
  const bool free = fd >= 0 && ::flock(fd, LOCK_EX | LOCK_NB) == 0;
  ::close(fd);
  return free;
}

// What every row starts from: a folder, one device of type 3514 (10 ms per block) with 64-byte
// blocks and serial AB0007, a short image and a long one (200 blocks, two seconds).
struct Bench {
  testing::TempDir dir;
  std::unique_ptr<sim::PtyDevice> device;
  std::string port;
  std::string small;
  std::string large;
  sim::DeviceModel Got() const { return device->Snapshot(); }
};

// A signal mid-transfer ends the update like Ctrl+C: record written, no run packet, port free.
void SignalMidTransfer(Bench& bench, int signal) {
  auto cli = Start(bench.dir.Path(),
                   {"flash", bench.large, "--json", "--log", "log.csv", "--port", bench.port});
  ASSERT_TRUE(WaitFor([&] { return bench.Got().BlockCount() >= 5; }));
  cli->Signal(signal);
  const auto result = cli->Finish();
  EXPECT_EQ(result.exitCode, 10) << result.err;
  EXPECT_TRUE(Has(result.err, "interrupted while updating " + bench.port + " (serial AB0007)"))
      << result.err;
  EXPECT_TRUE(Has(result.out, "\"result\":\"interrupted\"")) << result.out;
  EXPECT_TRUE(Has(ReadBytes(bench.dir / "log.csv"), ",interrupted,"));
  EXPECT_FALSE(bench.Got().RunReceived());
  EXPECT_TRUE(PortIsFree(bench.port));
}

struct Case {
  const char* name;
  std::function<void(Bench&)> check;
};

const Case kCases[] = {
    {"settings file that is a link: neither it nor its target changes, the update still runs",
     [](Bench& b) {
       WriteBytes(b.dir / "elsewhere", "[KEEP]\nX=1\n");
       fs::create_symlink(b.dir / "elsewhere", b.dir / "Lumaflash.ini");
       const auto result = Run(b.dir.Path(), {"flash", b.small, "--port", b.port});
       EXPECT_EQ(result.exitCode, 0) << result.err;
       EXPECT_TRUE(Has(result.err, "is a symbolic link; settings were not saved")) << result.err;
       EXPECT_EQ(fs::read_symlink(b.dir / "Lumaflash.ini"), b.dir / "elsewhere");
       EXPECT_EQ(ReadBytes(b.dir / "elsewhere"), "[KEEP]\nX=1\n");
       EXPECT_TRUE(b.Got().RunReceived());
     }},
    {"read-only settings file is left alone and that is said",
     [](Bench& b) {
       WriteBytes(b.dir / "Lumaflash.ini", "[KEEP]\nX=1\n");
       fs::permissions(b.dir / "Lumaflash.ini", fs::perms(0444));
       const auto result = Run(b.dir.Path(), {"flash", b.small, "--port", b.port});
       EXPECT_EQ(result.exitCode, 0) << result.err;
       EXPECT_TRUE(Has(result.err, "is read-only; settings were not saved")) << result.err;
       EXPECT_EQ(ReadBytes(b.dir / "Lumaflash.ini"), "[KEEP]\nX=1\n");
     }},
    {"empty payload, FIFO, folder and device as image or log: refused, nothing sent",
     [](Bench& b) {
       const auto empty = b.dir.Write("empty.bin", sim::BuildImageFile(1, 0x3514, {}));
       ASSERT_EQ(::mkfifo((b.dir / "fifo").c_str(), 0600), 0);
       struct Refusal {
         std::vector<std::string> args;
         int exitCode;
         std::string says;
       };
       const Refusal refusals[] = {
           {{"flash", empty.string(), "--port", b.port}, 3, "empty payload"},
           {{"flash", "fifo", "--port", b.port}, 3, "not a regular file"},
           {{"info", b.dir.Path().string()}, 3, "is a directory"},
           {{"info", "/dev/zero"}, 3, "not a regular file"},
           {{"flash", b.small, "--log", "fifo", "--port", b.port}, 1, "not a regular file"},
           {{"flash", b.small, "--log", "", "--port", b.port}, 2, "--log needs a file name"},
       };
       for (const Refusal& refusal : refusals) {
         const auto result = Run(b.dir.Path(), refusal.args);
         EXPECT_EQ(result.exitCode, refusal.exitCode) << refusal.args[1] << result.err;
         EXPECT_TRUE(Has(result.err, refusal.says)) << result.err;
       }
       EXPECT_TRUE(b.Got().Packets().empty());
     }},
    {"SIGTERM mid-transfer", [](Bench& b) { SignalMidTransfer(b, SIGTERM); }},
    {"SIGHUP mid-transfer", [](Bench& b) { SignalMidTransfer(b, SIGHUP); }},
    {"standard output gone mid-transfer: the update ends and is logged",
     [](Bench& b) {
       auto cli = Start(b.dir.Path(), {"flash", b.large, "--log", "log.csv", "--port", b.port});
       ASSERT_TRUE(WaitFor([&] { return b.Got().BlockCount() >= 5; }));
       cli->CloseOutput();
       const auto result = cli->Finish();
       EXPECT_EQ(result.exitCode, 0) << result.err;
       EXPECT_TRUE(b.Got().RunReceived());
       EXPECT_TRUE(Has(ReadBytes(b.dir / "log.csv"), ",ok,"));
     }},
    {"Ctrl+C while the probes run: no start packet",
     [](Bench& b) {
       // Silent ports first: the first of them is probed at once, and the 64 take two rounds
       // of identify time-outs on the scan's 32 threads before the device's turn comes.
       std::vector<std::unique_ptr<testing::RawPty>> silent(64);
       std::vector<std::string> args{"flash", b.small};
       for (auto& pty : silent) {
         pty = std::make_unique<testing::RawPty>();
         args.insert(args.end(), {"--port", pty->Path()});
       }
       args.insert(args.end(), {"--port", b.port});
       auto cli = Start(b.dir.Path(), args);
       ASSERT_FALSE(silent[0]->Received(5000).empty());
       cli->Signal(SIGINT);
       const auto result = cli->Finish();
       EXPECT_EQ(result.exitCode, 10) << result.err;
       EXPECT_TRUE(Has(result.err, "nothing was sent")) << result.err;
       EXPECT_EQ(StartPackets(b.Got()), 0);
     }},
    {"started with standard output closed: no text reaches the device",
     [](Bench& b) {
       auto cli = Start(b.dir.Path(), {"flash", b.small, "--port", b.port}, true);
       EXPECT_EQ(cli->Finish().exitCode, 0);
       EXPECT_TRUE(b.Got().RunReceived());
       EXPECT_EQ(b.Got().StrayBytes(), 0u);
     }},
    {"port path that is not UTF-8: JSON stays UTF-8",
     [](Bench& b) {
       const std::string odd = (b.dir / "tty\xff\xfe").string();
       fs::create_symlink(b.port, odd);
       for (const char* command : {"scan", "flash"}) {
         std::vector<std::string> args{command, "--json", "--port", odd};
         if (args[0] == "flash") {
           args.insert(args.begin() + 1, b.small);
         }
         const auto result = Run(b.dir.Path(), args);
         EXPECT_EQ(result.exitCode, 0) << command << result.err;
         EXPECT_FALSE(Has(result.out, "\xff")) << command;
         EXPECT_TRUE(Has(result.out, "tty\xEF\xBF\xBD\xEF\xBF\xBD\"")) << command << result.out;
       }
     }},
    {"named port held by another program: exit 8, no talk of a missing device",
     [](Bench& b) {
       const int held = ::open(b.port.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
       ASSERT_EQ(::flock(held, LOCK_EX | LOCK_NB), 0);
       const auto result = Run(b.dir.Path(), {"flash", b.small, "--port", b.port});
       ::close(held);
       EXPECT_EQ(result.exitCode, 8) << result.err;
       EXPECT_TRUE(Has(result.err, b.port + " is busy")) << result.err;
       EXPECT_FALSE(Has(result.err, "no device in bootloader mode")) << result.err;
     }},
    {"port named twice is one port",
     [](Bench& b) {
       const auto result =
           Run(b.dir.Path(), {"flash", b.small, "--port", b.port, "--port", b.port});
       EXPECT_EQ(result.exitCode, 0) << result.err;
       EXPECT_FALSE(Has(result.err, "busy")) << result.err;
       EXPECT_EQ(StartPackets(b.Got()), 1);
     }},
    {"a scanned terminal gets its line settings back",
     [](Bench& b) {
       testing::RawPty terminal;
       const int fd = ::open(terminal.Path().c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
       termios before{};
       ::tcgetattr(fd, &before);
       before.c_lflag |= ICANON | ECHO;
       ::cfsetspeed(&before, B9600);
       ::tcsetattr(fd, TCSANOW, &before);
       ::tcgetattr(fd, &before);
       const auto result = Run(b.dir.Path(), {"scan", "--port", terminal.Path(), "--port", b.port});
       EXPECT_TRUE(Has(result.out, "1 Interfaces found")) << result.out;
       termios after{};
       ::tcgetattr(fd, &after);
       ::close(fd);
       EXPECT_EQ(after.c_lflag, before.c_lflag);
       EXPECT_EQ(after.c_iflag, before.c_iflag);
       EXPECT_EQ(after.c_cflag, before.c_cflag);
       EXPECT_EQ(::cfgetospeed(&after), B9600);
     }},
    {"log locked by another writer: header and line wait for the lock, header written once",
     [](Bench& b) {
       const int log = ::open((b.dir / "log.csv").c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
       ASSERT_EQ(::flock(log, LOCK_EX), 0);
       auto cli =
           Start(b.dir.Path(), {"flash", b.small, "--json", "--log", "log.csv", "--port", b.port});
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
    {"--repeat counts a failed attempt as failed",
     [](Bench& b) {
       const sim::DeviceConfig config = b.Got().Config();
       b.device.reset();  // a device that refuses every start packet instead
       b.device =
           testing::StartDevice(config, {{sim::Fault::WrongAck, sim::PacketKind::Start, -1}});
       b.port = b.device->Path();
       auto cli = Start(b.dir.Path(), {"flash", b.small, "--repeat", "--port", b.port});
       ASSERT_TRUE(cli->WaitForOutput("Waiting for a further device"));
       cli->Signal(SIGINT);
       const auto result = cli->Finish();
       EXPECT_TRUE(Has(result.out, "Stopped. 0 update(s) in this run, 1 failed.")) << result.out;
     }},
    {"scan --json --trace: the trace goes to standard error",
     [](Bench& b) {
       const auto result = Run(b.dir.Path(), {"scan", "--json", "--trace", "--port", b.port});
       EXPECT_TRUE(Has(result.err, "Find Interface START")) << result.err;
       EXPECT_EQ(result.out.front(), '[');
     }},
};

TEST(Hostile, ConditionsHold) {
  sim::DeviceConfig config = testing::Device(0x3514, 64);
  config.bootloaderVersion = 0x0101;
  config.serial = {0xab, 0x00, 0x07};
  for (const Case& c : kCases) {
    SCOPED_TRACE(c.name);
    Bench bench;
    bench.device = testing::StartDevice(config);
    ASSERT_NE(bench.device, nullptr);
    bench.port = bench.device->Path();
    bench.small =
        bench.dir.Write("small.bin", sim::BuildImageFile(1, 0x3514, sim::PatternPayload(640, 1)));
    bench.large = bench.dir.Write("large.bin",
                                  sim::BuildImageFile(1, 0x3514, sim::PatternPayload(200 * 64, 2)));
    c.check(bench);
  }
}

}  // namespace
}  // namespace lumaflash
