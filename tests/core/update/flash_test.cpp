// The update through the core: a scanned session with a simulated device on a pseudo-terminal,
// the image file, the settings stamp, every way it can fail, and a second program beside it.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "core/discovery/scan.h"
#include "core/image/firmware_image.h"
#include "core/session/find_interfaces.h"
#include "core/session/flash_interface.h"
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
    session::SetupSettings(session, dir.Path());
    session::ScanInterfaces(session);
    feedback.statuses.clear();
    feedback.progressSteps = 0;
    packetsAfterScan = device->Snapshot().Packets().size();
  }

  void UseImage(uint16_t deviceId, const std::vector<uint8_t>& payload, uint8_t version = 1) {
    session.currentImagePath =
        dir.Write("image.bin", sim::BuildImageFile(version, deviceId, payload)).string();
  }
  // What the update ended with, a success as FlashResult::Success.
  update::UpdateError Flash() {
    const update::FlashOutcome outcome = session::FlashInterface(session, 0);
    return outcome ? update::UpdateError{FlashResult::Success, {}, {}} : outcome.error();
  }
  std::string Stamp() const {
    return settings::AppSettings(dir / "Lumaflash.ini").ReadLastDevice().value_or("<unreadable>");
  }

  testing::TempDir dir;
  std::unique_ptr<sim::PtyDevice> device;
  testing::RecordingFeedback feedback;
  session::Session session;
  std::size_t packetsAfterScan = 0;
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
    auto holder = testing::HoldPort(dir.Path(), device->Path());
    ASSERT_NE(holder, nullptr);
    const std::string held = testing::HolderName(*holder) + " ";
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
      holder->Signal(SIGKILL);
      holder->Finish();
      // The wait ends when the holder lets go, not at its limit: the start packet follows long
      // before a third of the wait has passed.
      const bool started = testing::WaitFor(
          [&] { return testing::StartPackets(device->Snapshot()) > 0; }, std::chrono::seconds(20));
      EXPECT_TRUE(started) << "still waiting after the holder let go";
      if (!started) {
        cli.Signal(SIGKILL);
      }
    }
    const testing::ProgramResult result = cli.Finish();
    EXPECT_EQ(result.exitCode, c.exitCode) << result.out << result.err;
    const sim::DeviceModel got = device->Snapshot();
    if (c.letGo) {
      EXPECT_TRUE(testing::ReceivedExactly(*device, payload));
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
      {0x1234, 512, 700, 1}, {0x3514, 1000, image::kImageBufferSize, 1},  // 1000 does not divide it
  };
  // clang-format on
  // Each update reuses the image buffer of the one before: the last block is padded with
  // zeros, not with what an earlier image left there. A second program scans the port once the
  // first block has gone, when it is certainly held: it finds it busy and sends nothing.
  auto carried = std::make_unique<image::FirmwareImage>();
  testing::TempDir elsewhere;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.length);
    Bench bench(testing::Device(c.deviceId, c.blockSize));
    std::swap(bench.session.image, carried);
    const auto payload = sim::PatternPayload(c.length, 7);
    bench.UseImage(c.deviceId, payload, c.headerVersion);
    const std::size_t blocks = (c.length + c.blockSize - 1) / c.blockSize;
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
    EXPECT_TRUE(testing::ReceivedExactly(*bench.device, payload));
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

// The pause after each acknowledged block, both ways: never shorter than the type needs (it
// would fail), never so much longer that the line slows to the next slower pace (a 10 ms type
// that falls to the 100 ms default takes ten times as long). The upper bounds leave room for a
// loaded machine and still sit below the next slower class.
struct PauseRow {
  uint16_t deviceId;
  int atLeastMs;      // every gap
  int medianBelowMs;  // the median gap
};

void PrintTo(const PauseRow& row, std::ostream* out) {
  *out << std::hex << row.deviceId << std::dec << ": at least " << row.atLeastMs
       << " ms, median below " << row.medianBelowMs << " ms";
}

class BlockPause : public ::testing::TestWithParam<PauseRow> {};

TEST_P(BlockPause, IsNeitherShorterNorLongerThanTheTypeNeeds) {
  const PauseRow row = GetParam();
  Bench bench(testing::Device(row.deviceId));
  bench.UseImage(row.deviceId, sim::PatternPayload(10 * 512, 3));
  const auto outcome = bench.Flash();
  ASSERT_EQ(outcome.result, FlashResult::Success) << outcome.statusLine;
  const sim::DeviceModel got = bench.device->Snapshot();
  EXPECT_TRUE(got.TimingViolations().empty()) << got.TimingViolations().front();
  // The first gap follows the start packet's acknowledge, whose pause is the same for all.
  std::vector<sim::Clock::duration> gaps(got.BlockGaps().begin() + 1, got.BlockGaps().end());
  ASSERT_EQ(gaps.size(), 9u);
  std::ranges::sort(gaps);
  EXPECT_GE(gaps.front(), std::chrono::milliseconds(row.atLeastMs));
  EXPECT_LT(gaps[gaps.size() / 2], std::chrono::milliseconds(row.medianBelowMs))
      << std::chrono::duration_cast<std::chrono::milliseconds>(gaps[gaps.size() / 2]).count()
      << " ms";
}

// Every type the simulated device knows, and two it does not list (the slow, safe default).
INSTANTIATE_TEST_SUITE_P(DeviceTypes, BlockPause,
                         ::testing::Values(PauseRow{0x3603, 10, 50}, PauseRow{0x0795, 10, 50},
                                           PauseRow{0x3690, 10, 50}, PauseRow{0x3514, 10, 50},
                                           PauseRow{0x3711, 10, 50}, PauseRow{0x3611, 5, 50},
                                           PauseRow{0x0008, 20, 60}, PauseRow{0x1234, 100, 400},
                                           PauseRow{0x4801, 100, 400}),
                         [](const auto& row) {
                           char name[16];
                           std::snprintf(name, sizeof name, "Type%04X", row.param.deviceId);
                           return std::string(name);
                         });

TEST(Update, EveryFailureIsToldAndNothingFollowsIt) {
  using enum FlashResult;
  const auto dev = testing::Device(0x3514);
  auto newBootloader = dev;
  newBootloader.bootloaderVersion = 0x0102;
  const std::string timeout = "Timeout on write data !";
  const auto blockSize = [](int size) {
    return "The device reports a block size of " + std::to_string(size) +
           " bytes, which cannot be sent (1 to 1021 can). Nothing was sent.";
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
    // The failure's own line is the last one, after any detail, so that it stays in view.
    ASSERT_FALSE(bench.feedback.statuses.empty());
    const auto& told = bench.feedback.statuses.back();
    EXPECT_TRUE(outcome.statusLine == c.line && told.text == c.line && told.alert) << told.text;
    EXPECT_TRUE(bench.feedback.failedUpdates >= 1 && bench.Stamp().empty());
    const sim::DeviceModel got = bench.device->Snapshot();
    EXPECT_FALSE(bench.feedback.Said("RUN application.") || got.RunReceived());
    EXPECT_EQ(got.Packets().size() - bench.packetsAfterScan, c.packets);
    EXPECT_EQ(bench.session.currentImagePath.empty(), c.result == WrongDevice);
    if (!got.Vanished()) {
      session::ScanInterfaces(bench.session);  // the port was closed: found again at once
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
  const auto missing = bench.Flash();
  EXPECT_EQ(missing.result, FlashResult::ImageUnusable);
  EXPECT_EQ(missing.statusLine.find("Cannot open firmware file"), 0u) << missing.statusLine;
  bench.UseImage(0x3514, sim::PatternPayload(4 * 64, 1));
  {
    serial::PortLink holder;
    ASSERT_TRUE(holder.OpenPort(serial::PortAddress{1, bench.device->Path()}));
    const auto outcome = bench.Flash();
    EXPECT_EQ(outcome.result, FlashResult::PortOpenFailed);
    EXPECT_EQ(outcome.port.error, serial::PortError::Busy);
    EXPECT_EQ(bench.feedback.Texts().end()[-2], serial::DescribePortFailure(outcome.port));
    EXPECT_EQ(bench.feedback.Texts().back(), "Error while open USB port !");
  }
  EXPECT_EQ(bench.device->Snapshot().Packets().size(), bench.packetsAfterScan);

  // Ctrl+C before the first block: the device got the start packet only, and is not started.
  std::stop_source cancel;
  cancel.request_stop();
  bench.session.stop = cancel.get_token();
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
