// The update through the core: a scanned session with a simulated device on a pseudo-terminal,
// the image file, the settings stamp, every way it can fail, and a second program beside it.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "core/discovery/scan.h"
#include "core/image/firmware_image.h"
#include "core/session/last_image.h"
#include "core/session/session.h"
#include "core/update/flash.h"
#include "sim/image_file.h"
#include "tests/support/recording_feedback.h"
#include "tests/support/run_program.h"
#include "tests/support/sim_devices.h"
#include "tests/support/temp_dir.h"

namespace lumaflash {
namespace {

using sim::Fault;
using sim::PacketKind;
using update::FlashResult;

constexpr settings::LocalDate kToday{6, 12, 2026};

// A scanned session with one simulated device and an image file for it.
struct Bench {
  explicit Bench(sim::DeviceConfig config, std::vector<sim::FaultPlan> faults = {})
      : device(testing::StartDevice(std::move(config), std::move(faults))), session(feedback) {
    session.namedPorts = {device->Path()};
    session.recallLastImage = false;
    session.today = [] { return kToday; };
    settings::SetupSettings(session, dir.Path());
    discovery::ScanInterfaces(session);
    feedback.statuses.clear();
    feedback.progressSteps = 0;
    packetsAfterScan = device->Snapshot().Packets().size();
  }

  void UseImage(uint16_t deviceId, const std::vector<uint8_t>& payload, uint8_t version = 1) {
    session.currentImagePath =
        dir.Write("image.bin", sim::BuildImageFile(version, deviceId, payload)).string();
  }
  update::FlashOutcome Flash() { return update::FlashInterface(session, 0); }
  std::string Stamp() const {
    return settings::AppSettings(dir / "Lumaflash.ini").ReadLastDevice();
  }

  testing::TempDir dir;
  std::unique_ptr<sim::PtyDevice> device;
  testing::RecordingFeedback feedback;
  Session session;
  std::size_t packetsAfterScan = 0;
};

// Another program that has the port open without locking it, as ModemManager does when it
// probes a new port, until the test tells it to let go (or ends).
class PortHolder {
 public:
  explicit PortHolder(const std::string& path) {
    int opened[2] = {-1, -1};
    int release[2] = {-1, -1};
    // Close-on-exec: the program under test must not keep the holder's pipes open.
    EXPECT_EQ(::pipe2(opened, O_CLOEXEC), 0);
    EXPECT_EQ(::pipe2(release, O_CLOEXEC), 0);
    m_pid = ::fork();
    if (m_pid == 0) {
      ::prctl(PR_SET_NAME, "holder");
      // Only the port: the simulated device's master, inherited, would make it the device's
      // own end.
      for (int fd = 3; fd < 1024; ++fd) {
        if (fd != opened[1] && fd != release[0]) {
          ::close(fd);
        }
      }
      char answer = ::open(path.c_str(), O_RDWR | O_NOCTTY) >= 0 ? 'y' : 'n';
      static_cast<void>(::write(opened[1], &answer, 1));
      static_cast<void>(::read(release[0], &answer, 1));  // end of file: let go
      ::_exit(0);
    }
    ::close(opened[1]);
    ::close(release[0]);
    char answer = 0;
    EXPECT_EQ(::read(opened[0], &answer, 1), 1);
    EXPECT_EQ(answer, 'y');
    ::close(opened[0]);
    m_release = release[1];
  }
  ~PortHolder() { LetGo(); }
  PortHolder(const PortHolder&) = delete;
  PortHolder& operator=(const PortHolder&) = delete;

  int Pid() const { return m_pid; }
  void LetGo() {
    if (m_release >= 0) {
      ::close(m_release);
      m_release = -1;
      ::waitpid(m_pid, nullptr, 0);
    }
  }

 private:
  pid_t m_pid = -1;
  int m_release = -1;
};

TEST(Update, WaitsForAnotherProgramThatHoldsThePortAndNeverWritesBesideIt) {
  struct Case {
    const char* name;
    bool appears;  // the port appears while --wait waits (a link made to the device's port)
    bool letGo;    // after the wait was announced
    const char* holderWait;
    int exitCode;
  };
  for (const Case& c :
       {Case{"lets go", false, true, "60", 0}, Case{"keeps it", false, false, "1", 8},
        Case{"appears held", true, false, "1", 8}}) {
    SCOPED_TRACE(c.name);
    testing::TempDir dir;
    const auto payload = sim::PatternPayload(10 * 64, 3);
    const auto image = dir.Write("fw.bin", sim::BuildImageFile(1, 0x3514, payload));
    auto device = testing::StartDevice(testing::Device(0x3514, 64));
    PortHolder holder(device->Path());
    const std::string held = "holder (pid " + std::to_string(holder.Pid()) + ") ";
    const std::string port = c.appears ? (dir / "ttyACM0").string() : device->Path();
    std::vector<std::string> args{LUMAFLASH_CLI_PATH, "flash",     image.string(), "--port", port,
                                  "--holder-wait",    c.holderWait};
    if (c.appears) {
      args.push_back("--wait");
    }
    testing::RunningProgram cli(args, dir.Path());
    if (c.appears) {
      ASSERT_TRUE(cli.WaitForOutput("Waiting for a device of type 3514"));
      std::filesystem::create_symlink(device->Path(), port);
    }
    ASSERT_TRUE(cli.WaitForOutput(held + "has " + port + " open; waiting up to " + c.holderWait +
                                  " s for it to let go"));
    if (c.letGo) {
      holder.LetGo();
    }
    const testing::ProgramResult result = cli.Finish();
    EXPECT_EQ(result.exitCode, c.exitCode) << result.out << result.err;
    const sim::DeviceModel got = device->Snapshot();
    if (c.letGo) {
      EXPECT_TRUE(got.RunReceived() &&
                  std::equal(payload.begin(), payload.end(), got.Image().begin()));
    } else {
      // Only the scan's identify; none at all to a port that appeared held.
      EXPECT_EQ(got.Packets().size(), c.appears ? 0u : 1u);
      EXPECT_NE(result.err.find(held + "still has " + port +
                                " open after 1 s; nothing was sent. Close that program"),
                std::string::npos)
          << result.err;
    }
  }
}

TEST(Update, DeviceReceivesExactlyTheImageAtItsPace) {
  // clang-format off
  struct Case { uint16_t deviceId; uint16_t blockSize; std::size_t length; uint8_t headerVersion; };
  const Case cases[] = {
      {0x3514, 512, 300, 0}, {0x3514, 512, 1000, 1}, {0x3611, 512, 1024, 2}, {0x0008, 512, 1200, 7},
      {0x1234, 512, 700, 1}, {0x3514, 1000, update::kImageBufferSize, 1},  // 1000 does not divide it
  };
  // clang-format on
  // Each update reuses the image buffer of the one before: the last block is padded with
  // zeros, not with what an earlier image left there. A second program scans the port once the
  // first block has gone, when it is certainly held: it finds it busy and sends nothing.
  auto carried = std::make_unique<update::FirmwareImage>();
  testing::TempDir elsewhere;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.length);
    Bench bench(testing::Device(c.deviceId, c.blockSize));
    std::swap(bench.session.image, carried);
    auto payload = sim::PatternPayload(c.length, 7);
    bench.UseImage(c.deviceId, payload, c.headerVersion);
    const std::size_t blocks = (c.length + c.blockSize - 1) / c.blockSize;
    payload.resize(blocks * c.blockSize, 0);
    const std::vector<std::string> scan{LUMAFLASH_CLI_PATH, "scan", "--port", bench.device->Path()};
    testing::ProgramResult second;
    bench.feedback.onStep = [&](uint32_t step) {
      second = step == 1 ? testing::RunProgram(scan, elsewhere.Path()) : second;
    };
    const auto outcome = bench.Flash();
    EXPECT_EQ(outcome.result, FlashResult::Success) << outcome.statusLine;
    EXPECT_NE(second.err.find(bench.device->Path() + " is busy"), std::string::npos) << second.err;
    EXPECT_NE(second.out.find("0 Interfaces found"), std::string::npos) << second.out;
    const sim::DeviceModel got = bench.device->Snapshot();
    EXPECT_EQ(got.Packets().size() - bench.packetsAfterScan, blocks + 2) << "start, blocks, run";
    EXPECT_EQ(got.StartLengthByte(), static_cast<uint8_t>(c.length & 0xFF));
    EXPECT_EQ(got.Image(), payload);
    EXPECT_TRUE(got.RunReceived() && got.TimingViolations().empty() &&
                got.ProtocolViolations().empty());
    EXPECT_EQ(
        bench.feedback.Texts(),
        (std::vector<std::string>{"Write data complete. (" + bench.session.currentImagePath + ")",
                                  "RUN application."}));
    EXPECT_TRUE(bench.feedback.progressRange == blocks && bench.feedback.progressSteps == blocks)
        << "the bar ends full, not past its end";
    EXPECT_EQ(bench.Stamp(), settings::FormatUpdateStamp(c.deviceId, kToday));
    carried = std::move(bench.session.image);
  }
}

TEST(Update, EveryFailureIsToldAndNothingFollowsIt) {
  using enum FlashResult;
  const auto dev = testing::Device(0x3514);
  auto newBootloader = dev;
  newBootloader.bootloaderVersion = 0x0102;
  const std::string timeout = "Timeout on write data !";
  const auto blockSize = [](int size) {
    return "The device reports a block size of " + std::to_string(size) +
           " bytes, which cannot "
           "be sent (1 to 1021 can). Nothing was sent.";
  };
  // clang-format off
  struct Case { sim::DeviceConfig device; std::vector<sim::FaultPlan> faults; uint16_t imageType;
                FlashResult result; std::string line; std::size_t packets; };  // after the scan
  const Case cases[] = {
      {dev, {}, 0x3409, WrongDevice, "Firmware file is not for selected device!", 0},
      {newBootloader, {}, 0x3514, WrongBootloader, "Wrong bootloader version!", 0},
      {testing::Device(0x3514, 0), {}, 0x3514, UnusableBlockSize, blockSize(0), 0},
      {testing::Device(0x3514, 1022), {}, 0x3514, UnusableBlockSize, blockSize(1022), 0},
      {dev, {{Fault::Silent, PacketKind::Start, 0}}, 0x3514, WriteFailed, timeout, 1},
      {dev, {{Fault::WrongAck, PacketKind::Start, 0}}, 0x3514, WriteFailed, timeout, 1},
      {dev, {{Fault::Silent, PacketKind::Block, 2}}, 0x3514, WriteFailed, timeout, 4},
      {dev, {{Fault::WrongAck, PacketKind::Block, 1}}, 0x3514, WriteFailed, timeout, 3},
      {dev, {{Fault::LateAck, PacketKind::Block, 1}}, 0x3514, WriteFailed, timeout, 3},
      {dev, {{Fault::Vanish, PacketKind::Block, 2}}, 0x3514, WriteFailed, timeout, 4},
  };
  // clang-format on
  for (const Case& c : cases) {
    SCOPED_TRACE(&c - cases);
    Bench bench(c.device, c.faults);
    bench.UseImage(c.imageType, sim::PatternPayload(4 * 512, 5));
    const auto outcome = bench.Flash();
    EXPECT_EQ(outcome.result, c.result);
    ASSERT_FALSE(bench.feedback.statuses.empty());
    const auto& told = bench.feedback.statuses.front();
    EXPECT_TRUE(outcome.statusLine == c.line && told.text == c.line && told.alert) << told.text;
    EXPECT_TRUE(bench.feedback.arrowCursors >= 1 && bench.Stamp().empty());
    const sim::DeviceModel got = bench.device->Snapshot();
    EXPECT_FALSE(bench.feedback.Said("RUN application.") || got.RunReceived());
    EXPECT_EQ(got.Packets().size() - bench.packetsAfterScan, c.packets);
    EXPECT_EQ(bench.session.currentImagePath.empty(), c.result == WrongDevice);
    if (!got.Vanished()) {
      discovery::ScanInterfaces(bench.session);  // the port was closed: found again at once
      EXPECT_EQ(bench.session.interfaces.Count(), 1u);
    }
  }
}

TEST(Update, RequestsThatCannotBeCarriedOutSendNothing) {
  const auto whole = sim::BuildImageFile(1, 0x3514, sim::PatternPayload(100, 1));
  const std::vector<std::pair<std::vector<uint8_t>, std::string>> images = {
      // clang-format off
      {{}, "is empty"}, {{whole.begin(), whole.begin() + 10}, "inside its 13-byte"},
      {{whole.begin(), whole.end() - 1}, "99 of 100"},
      {sim::BuildImageFile(1, 0x3514, sim::PatternPayload(100, 1), 262145), "262145"},
  };  // clang-format on
  Bench bench(testing::Device(0x3514, 64));
  for (const auto& [bytes, words] : images) {
    bench.session.currentImagePath = bench.dir.Write("broken.bin", bytes).string();
    const auto outcome = bench.Flash();
    EXPECT_EQ(outcome.result, FlashResult::ImageUnusable);
    EXPECT_NE(outcome.statusLine.find(words), std::string::npos) << outcome.statusLine;
  }
  bench.session.currentImagePath = (bench.dir / "nowhere.bin").string();
  EXPECT_EQ(bench.Flash().result, FlashResult::ImageUnusable);
  bench.UseImage(0x3514, sim::PatternPayload(4 * 64, 1));
  {
    serial::PortLink holder;
    ASSERT_TRUE(holder.OpenPort(serial::PortAddress{1, bench.device->Path()}));
    const auto outcome = bench.Flash();
    EXPECT_EQ(outcome.result, FlashResult::PortOpenFailed);
    EXPECT_EQ(outcome.port.error, serial::PortError::Busy);
    EXPECT_EQ(bench.feedback.Texts().end()[-2], "Error while open USB port !");
    EXPECT_EQ(bench.feedback.Texts().back(), serial::DescribePortFailure(outcome.port));
  }
  EXPECT_EQ(bench.device->Snapshot().Packets().size(), bench.packetsAfterScan);

  // Ctrl+C before the first block: the device got the start packet only, and is not started.
  const std::atomic<bool> cancel{true};
  bench.session.cancel = &cancel;
  const auto outcome = bench.Flash();
  EXPECT_EQ(outcome.result, FlashResult::Interrupted);
  EXPECT_EQ(outcome.statusLine, "Update interrupted: " + bench.device->Path() +
                                    " was not fully written. Start the update again before "
                                    "using it.");
  EXPECT_EQ(bench.device->Snapshot().Packets().size(), bench.packetsAfterScan + 1);
  bench.session.currentImagePath.clear();
  bench.feedback.statuses.clear();
  EXPECT_EQ(bench.Flash().result, FlashResult::NoImagePath);
  EXPECT_TRUE(bench.feedback.statuses.empty());
}

}  // namespace
}  // namespace lumaflash
