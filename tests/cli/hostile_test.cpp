// lumaflash-cli used as a careless or hostile user would: what the device got, recorded and said.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <functional>
#include <iterator>
#include <memory>
#include <optional>
#include <string>
#include <utility>
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
using testing::Has, testing::ReadWholeFile, testing::SameLine, testing::StartPackets;
using testing::PrintTo, testing::TerminalLine, testing::WaitFor;

// Whether `signal` is still waiting to be taken by the process (its shared pending set).
bool SignalPending(int pid, int signal) {
  const std::string status = ReadWholeFile("/proc/" + std::to_string(pid) + "/status");
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

constexpr uid_t kNobody = 65534;  // root is not held by RLIMIT_NPROC; this user is

// Tasks (threads) that `uid` runs now, as the kernel counts them against RLIMIT_NPROC.
rlim_t TasksOf(uid_t uid) {
  rlim_t tasks = 0;
  for (const auto& entry : fs::directory_iterator("/proc")) {
    const std::string status = ReadWholeFile(entry.path() / "status");
    const auto uidAt = status.find("\nUid:\t");
    const auto threadsAt = status.find("\nThreads:\t");
    if (uidAt != std::string::npos && threadsAt != std::string::npos &&
        std::stoul(status.substr(uidAt + 6)) == uid) {
      tasks += std::stoul(status.substr(threadsAt + 10));
    }
  }
  return tasks;
}

// What the device had at the end of a run.
enum class Sent { NoByte, NoUpdate, Interrupted, OneUpdate, More };

Sent SentTo(const sim::DeviceModel& got) {
  const long starts = StartPackets(got);
  if (got.Packets().empty() || starts == 0) {
    return got.Packets().empty() ? Sent::NoByte : Sent::NoUpdate;
  }
  return starts > 1 || got.StrayBytes() != 0 ? Sent::More
         : got.RunReceived()                 ? Sent::OneUpdate
                                             : Sent::Interrupted;
}

// One run of lumaflash-cli under one upset, and what it must say, record and send. In every text
// {small}, {large} and {empty} stand for the bench's images, {port} for its device's port, {odd}
// for a link to that port whose name is not UTF-8, and {dir} for its folder.
struct RunRow {
  const char* name = "";
  std::vector<std::string> args{};
  bool portHeld = false;      // flock()ed by the test, as another serial program does
  bool stdoutClosed = false;  // from the start
  int signal = 0;             // sent after 5 blocks; SIGPIPE: standard output goes away then
  int exitCode = 0;
  std::string err{}, errNot = "no device in bootloader mode";  // standard error holds, and not
  std::string out{}, outNot{};                                 // standard output holds, and not
  std::string log{};                                           // log.csv holds
  Sent sent = Sent::OneUpdate;
};

const std::vector<std::string> kFlashLarge{"flash",   "{large}", "--json", "--log",
                                           "log.csv", "--port",  "{port}"};
const std::string kInterrupted = "interrupted while updating {port} (serial AB0007)";
const std::string kOddPortInJson = "tty\xEF\xBF\xBD\xEF\xBF\xBD\"";  // U+FFFD for each bad byte

// clang-format off
// A signal stops the update between blocks (exit 10, result `interrupted`, no run packet). The
// record is written, the port let go.
RunRow StoppedBy(const char* name, int signal) {
  return {.name = name, .args = kFlashLarge, .signal = signal, .exitCode = 10, .err = kInterrupted,
          .out = "\"result\":\"interrupted\"", .log = ",interrupted,", .sent = Sent::Interrupted};
}

const RunRow kRuns[] = {
    // Refused before any byte goes out.
    {.name = "EmptyPayload", .args = {"flash", "{empty}", "--port", "{port}"}, .portHeld = true,
     .exitCode = 3, .err = "empty payload", .sent = Sent::NoByte},
    {.name = "ImageIsAFifo", .args = {"flash", "fifo", "--port", "{port}"}, .portHeld = true,
     .exitCode = 3, .err = "not a regular file", .sent = Sent::NoByte},
    {.name = "InfoOfAFolder", .args = {"info", "{dir}"}, .portHeld = true, .exitCode = 3,
     .err = "is a directory", .sent = Sent::NoByte},
    {.name = "InfoOfADevice", .args = {"info", "/dev/zero"}, .portHeld = true, .exitCode = 3,
     .err = "not a regular file", .sent = Sent::NoByte},
    {.name = "LogIsAFifo", .args = {"flash", "{small}", "--log", "fifo", "--port", "{port}"},
     .portHeld = true, .exitCode = 1, .err = "not a regular file", .sent = Sent::NoByte},
    {.name = "LogNamedEmpty", .args = {"flash", "{small}", "--log", "", "--port", "{port}"},
     .portHeld = true, .exitCode = 2, .err = "--log needs a file name", .sent = Sent::NoByte},
    {.name = "PortHeldByAnother", .args = {"flash", "{small}", "--port", "{port}"},
     .portHeld = true, .exitCode = 8, .err = "{port} is busy", .sent = Sent::NoByte},
    StoppedBy("SigintMidTransfer", SIGINT), StoppedBy("SigtermMidTransfer", SIGTERM),
    StoppedBy("SighupMidTransfer", SIGHUP),
    // Standard output going away does not stop it.
    {.name = "StdoutGoneMidTransfer", .args = kFlashLarge, .signal = SIGPIPE,
     .errNot = kInterrupted, .log = ",ok,"},
    // No text goes to the device, and a port named twice is updated once.
    {.name = "StdoutClosedPortNamedTwice",
     .args = {"flash", "{small}", "--port", "{port}", "--port", "{port}"}, .stdoutClosed = true,
     .errNot = "busy"},
    // JSON stays UTF-8; scan --json --trace traces on standard error.
    {.name = "PortPathNotUtf8Scan", .args = {"scan", "--json", "--trace", "--port", "{odd}"},
     .err = "Find Interface START", .out = kOddPortInJson, .outNot = "\xff",
     .sent = Sent::NoUpdate},
    {.name = "PortPathNotUtf8Flash", .args = {"flash", "{small}", "--json", "--port", "{odd}"},
     .errNot = "Find Interface START", .out = kOddPortInJson, .outNot = "\xff"},
};
// clang-format on

class HostileRun : public ::testing::TestWithParam<RunRow> {};

TEST_P(HostileRun, SaysRecordsAndSendsWhatItMust) {
  const RunRow& row = GetParam();
  Bench b(testing::Unit(7, 0x3514, true));
  const std::string odd = (b.dir / "tty\xff\xfe").string();
  fs::create_symlink(b.port, odd);
  ASSERT_EQ(::mkfifo((b.dir / "fifo").c_str(), 0600), 0);
  const std::string empty = b.dir.Write("empty.bin", sim::BuildImageFile(1, 0x3514, {}));
  const std::pair<std::string, std::string> names[] = {
      {"{small}", b.small}, {"{large}", b.large},    {"{port}", b.port},
      {"{odd}", odd},       {"{dir}", b.dir.Path()}, {"{empty}", empty}};
  const auto fill = [&](std::string text) {
    for (const auto& [name, value] : names) {
      for (auto at = text.find(name); at != std::string::npos; at = text.find(name, at)) {
        text.replace(at, name.size(), value);
      }
    }
    return text;
  };
  std::vector<std::string> args;
  std::ranges::transform(row.args, std::back_inserter(args), fill);
  const int held = ::open(b.port.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
  ASSERT_TRUE(!row.portHeld || ::flock(held, LOCK_EX | LOCK_NB) == 0);
  auto cli = b.Start(args, row.stdoutClosed);
  if (row.signal != 0) {
    ASSERT_TRUE(WaitFor([&] { return b.Got().BlockCount() >= 5; }));
    row.signal == SIGPIPE ? cli->CloseOutput() : cli->Signal(row.signal);
  }
  const auto result = cli->Finish();
  ::close(held);
  EXPECT_EQ(result.exitCode, row.exitCode) << result.err;
  EXPECT_TRUE(Has(result.err, fill(row.err))) << result.err;
  EXPECT_TRUE(row.errNot.empty() || !Has(result.err, fill(row.errNot))) << result.err;
  EXPECT_TRUE(Has(result.out, row.out)) << result.out;
  EXPECT_TRUE(row.outNot.empty() || !Has(result.out, row.outNot)) << result.out;
  EXPECT_TRUE(row.log.empty() || Has(ReadWholeFile(b.dir / "log.csv"), row.log));
  EXPECT_EQ(SentTo(b.Got()), row.sent);
  const int fd = ::open(b.port.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
  EXPECT_EQ(::flock(fd, LOCK_EX | LOCK_NB), 0) << "the port is free again";
  ::close(fd);
}

INSTANTIATE_TEST_SUITE_P(Rows, HostileRun, ::testing::ValuesIn(kRuns),
                         [](const auto& row) { return std::string(row.param.name); });

// Scenes of their own shape: a holder, a second program, a limit or a device answered by hand.
struct Row {
  const char* name;
  std::function<void(Bench&)> check;
};

const Row kRows[] = {
    {"SettingsFileLinkReadOnlyOrTooBig",  // it and a link's target stay, that is said, the update
                                          // is done; a file-size limit binds root too
     [](Bench& b) {
       const fs::path ini = b.dir / "Lumaflash.ini";
       const std::string kept = "; " + std::string(5000, '-') + "\n[KEEP]\nX=1\n";
       testing::WriteBytes(b.dir / "kept", kept);
       fs::create_symlink(b.dir / "kept", ini);
       for (const std::string says :
            {"is a symbolic link; settings were not saved", "is read-only; settings were not saved",
             "Could not save the settings file"}) {
         const bool link = says.starts_with("is a symbolic link");
         const std::string limit = says.starts_with("Could") ? "trap '' XFSZ; ulimit -f 2; " : "";
         const auto result =
             testing::RunProgram({"/bin/sh", "-c", limit + "exec \"$0\" flash \"$1\" --port \"$2\"",
                                  LUMAFLASH_CLI_PATH, b.small, b.port},
                                 b.dir.Path());
         EXPECT_EQ(result.exitCode, 0) << result.err;
         EXPECT_TRUE(Has(result.err, says)) << result.err;
         EXPECT_TRUE(testing::ReceivedExactly(*b.device, sim::PatternPayload(640, 1)));
         EXPECT_EQ(ReadWholeFile(ini), kept);
         EXPECT_EQ(fs::is_symlink(ini), link);
         EXPECT_EQ(std::distance(fs::directory_iterator(b.dir.Path()), {}), 5)
             << "no temporary file is left behind, only s, l, kept, the settings and their lock";
         fs::remove(ini);
         fs::copy_file(b.dir / "kept", ini);
         fs::permissions(ini, fs::perms(link ? 0444 : 0644));
       }
     }},
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
       TerminalLine(b.port);
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
    {"ScanWholeOrCtrlCOnSilentPorts",  // every port gets its line settings back
     [](Bench& b) {
       std::vector<testing::RawPty> silent(8);
       std::vector<termios> before;
       std::vector<std::string> args{"scan"};
       for (const auto& pty : silent) {
         before.push_back(TerminalLine(pty.Path()));
         args.insert(args.end(), {"--port", pty.Path()});
       }
       b.Run({"scan", "--port", silent[0].Path()});  // a scan to its end
       EXPECT_TRUE(SameLine(silent[0].Path(), before[0])) << "line settings changed";
       silent[0].Received();  // its identify, so the next read waits for the next scan's
       auto cli = b.Start(args);
       ASSERT_FALSE(silent[0].Received(5000).empty());  // the scan is in its identify wait
       cli->Signal(SIGINT);
       const auto result = cli->Finish();
       EXPECT_EQ(result.exitCode, 10) << result.err;
       EXPECT_TRUE(Has(result.err, "scan interrupted")) << result.err;
       for (std::size_t i = 0; i < silent.size(); ++i) {
         EXPECT_TRUE(SameLine(silent[i].Path(), before[i])) << silent[i].Path();
       }
     }},
    {"NohupKeepsWaitingAfterSighup",  // flash --wait started with SIGHUP ignored
     [](Bench& b) {
       const int held = ::open(b.port.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
       ASSERT_EQ(::flock(held, LOCK_EX | LOCK_NB), 0);  // the device is busy: it waits
       testing::RunningProgram cli(
           {"/usr/bin/nohup", LUMAFLASH_CLI_PATH, "flash", b.small, "--wait", "--port", b.port},
           b.dir.Path());
       ASSERT_TRUE(cli.WaitForOutput("Waiting for a device"));
       cli.Signal(SIGHUP);
       ::close(held);  // now it may take the device, and must, SIGHUP or not
       const auto result = cli.Finish();
       EXPECT_EQ(result.exitCode, 0) << result.err;
       EXPECT_TRUE(b.Got().RunReceived());
     }},
    {"PortHeldExclusively",  // busy, nothing written, still exclusive after
     [](Bench& b) {
       for (const bool locked : {true, false}) {  // TIOCEXCL with and without flock
         testing::RawPty held;
         const int fd = ::open(held.Path().c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
         ASSERT_TRUE(!locked || ::flock(fd, LOCK_EX | LOCK_NB) == 0);
         ASSERT_EQ(::ioctl(fd, TIOCEXCL), 0);
         const auto result = b.Run({"scan", "--port", held.Path()});
         EXPECT_TRUE(Has(result.err, held.Path() + " is busy")) << result.err;
         int exclusive = 0;
         EXPECT_EQ(::ioctl(fd, TIOCGEXCL, &exclusive), 0);
         EXPECT_EQ(exclusive, 1) << "the holder's exclusive flag was cleared";
         EXPECT_TRUE(held.Received(0).empty()) << "bytes went to a held port";
         ::close(fd);
       }
     }},
    {"ThreadLimits",  // RLIMIT_NPROC: the scan and --all go on with the threads that started
     [](Bench& b) {
       const std::vector<std::shared_ptr<sim::PtyDevice>> more{
           testing::StartDevice(b.Got().Config()), testing::StartDevice(b.Got().Config())};
       std::vector<testing::RawPty> silent(2);
       std::vector<std::string> ports{b.port, more[0]->Path(), more[1]->Path()};
       ASSERT_EQ(::chmod(b.dir.Path().c_str(), 0777), 0);
       // As the unprivileged user, `threads` besides the main one may run; the next one fails.
       const auto runAsNobody = [&](std::vector<std::string> args, rlim_t threads) {
         for (const std::string& port : ports) {
           EXPECT_EQ(::chmod(port.c_str(), 0666), 0);
           args.insert(args.end(), {"--port", port});
         }
         const rlim_t tasks = TasksOf(kNobody) + 1 + threads;
         args.insert(args.begin(),
                     {"/usr/bin/prlimit", "--nproc=" + std::to_string(tasks), "/usr/bin/setpriv",
                      "--reuid=65534", "--regid=65534", "--clear-groups", LUMAFLASH_CLI_PATH});
         return testing::RunProgram(args, b.dir.Path());
       };
       ports.insert(ports.end(), {silent[0].Path(), silent[1].Path()});
       auto result = runAsNobody({"scan"}, 1);  // four helpers wanted, one started
       EXPECT_EQ(result.exitCode, 0) << result.err;
       EXPECT_TRUE(Has(result.out, "3 Interfaces found")) << result.out;
       EXPECT_FALSE(silent[1].Received(0).empty()) << "the last port was left out";
       ports.resize(3);
       result = runAsNobody({"flash", b.small, "--all", "--json"}, 2);  // the scan's two fit
       EXPECT_EQ(result.exitCode, 0) << result.err;
       EXPECT_EQ(std::ranges::count(result.out, '\n'), 3) << result.out;
       EXPECT_TRUE(b.Got().RunReceived() && more[0]->Snapshot().RunReceived() &&
                   more[1]->Snapshot().RunReceived());
     }},
    {"LogLockedByAnotherWriter",  // header and line wait for the lock, header written once
     [](Bench& b) {
       const int log = ::open((b.dir / "log.csv").c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
       ASSERT_EQ(::flock(log, LOCK_EX), 0);
       auto cli = b.Start({"flash", b.small, "--json", "--log", "log.csv", "--port", b.port});
       ASSERT_TRUE(cli->WaitForOutput("\"result\":\"ok\""));
       // The kernel lists a program that waits for a lock after "->".
       const std::string waiter = "-> FLOCK  ADVISORY  WRITE " + std::to_string(cli->Pid()) + " ";
       EXPECT_TRUE(WaitFor([&] { return Has(ReadWholeFile("/proc/locks"), waiter); }));
       EXPECT_EQ(fs::file_size(b.dir / "log.csv"), 0u);
       ::close(log);
       EXPECT_EQ(cli->Finish().exitCode, 0);
       const std::string text = ReadWholeFile(b.dir / "log.csv");
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
  // It stays in bootloader mode after its run packet: a row may update it more than once.
  Bench bench(testing::Unit(7, 0x3514, true));
  GetParam().check(bench);
}

INSTANTIATE_TEST_SUITE_P(Rows, Hostile, ::testing::ValuesIn(kRows),
                         [](const auto& row) { return std::string(row.param.name); });

}  // namespace
}  // namespace lumaflash
