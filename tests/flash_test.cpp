// The update through the core: a scanned session with a simulated device on a pseudo-terminal,
// the image file, the settings stamp, every way it can fail, and a second program beside it.
#include <gtest/gtest.h>

#include <atomic>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "discovery/scan.h"
#include "session.h"
#include "settings/last_image.h"
#include "sim/image_file.h"
#include "support/recording_feedback.h"
#include "support/run_program.h"
#include "support/sim_devices.h"
#include "support/temp_dir.h"
#include "update/flash.h"
#include "update/image.h"

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

std::vector<uint8_t> PaddedTo(std::vector<uint8_t> payload, std::size_t blockSize) {
  payload.resize((payload.size() + blockSize - 1) / blockSize * blockSize, 0);
  return payload;
}

TEST(Update, DeviceReceivesExactlyTheImageAtItsPace) {
  struct Case {
    uint16_t deviceId;
    uint16_t blockSize;
    std::size_t length;
    uint8_t headerVersion;
  };
  const Case cases[] = {
      {0x3514, 512, 300, 0},
      {0x3514, 512, 1000, 1},
      {0x3611, 512, 1024, 2},
      {0x0008, 512, 1200, 7},
      {0x1234, 512, 700, 1},
      {0x3514, 1000, update::kImageBufferSize, 1},  // block size that does not divide the buffer
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::to_string(c.deviceId) + " " + std::to_string(c.length));
    Bench bench(testing::Device(c.deviceId, c.blockSize));
    ASSERT_EQ(bench.session.interfaces.Count(), 1u);
    const auto payload = sim::PatternPayload(c.length, 7);
    bench.UseImage(c.deviceId, payload, c.headerVersion);
    const auto outcome = bench.Flash();
    EXPECT_EQ(outcome.result, FlashResult::Success) << outcome.statusLine;
    const sim::DeviceModel got = bench.device->Snapshot();
    const std::size_t blocks = (c.length + c.blockSize - 1) / c.blockSize;
    EXPECT_EQ(got.StartLengthByte(), static_cast<uint8_t>(c.length & 0xFF));
    EXPECT_EQ(got.Image(), PaddedTo(payload, c.blockSize));
    EXPECT_EQ(static_cast<std::size_t>(got.BlockCount()), blocks);
    EXPECT_TRUE(got.RunReceived());
    EXPECT_TRUE(got.TimingViolations().empty()) << got.TimingViolations().front();
    EXPECT_TRUE(got.ProtocolViolations().empty()) << got.ProtocolViolations().front();
    EXPECT_EQ(
        bench.feedback.Texts(),
        (std::vector<std::string>{"Write data complete. (" + bench.session.currentImagePath + ")",
                                  "RUN application."}));
    EXPECT_EQ(bench.feedback.progressRange, blocks) << "the bar ends full, not past its end";
    EXPECT_EQ(bench.feedback.progressSteps, blocks);
    EXPECT_EQ(bench.Stamp(), settings::FormatUpdateStamp(c.deviceId, kToday));
  }
}

TEST(Update, LastBlockIsPaddedWithZerosNotAnEarlierImage) {
  Bench bench(testing::Device(0x3514, 512));
  bench.UseImage(0x3514, std::vector<uint8_t>(1024, 0xEE));
  ASSERT_EQ(bench.Flash().result, FlashResult::Success);
  Bench second(testing::Device(0x3514, 512));
  second.session.image = std::move(bench.session.image);  // the buffer that held 0xEE bytes
  const auto payload = sim::PatternPayload(600, 3);
  second.UseImage(0x3514, payload);
  ASSERT_EQ(second.Flash().result, FlashResult::Success);
  EXPECT_EQ(second.device->Snapshot().Image(), PaddedTo(payload, 512));
}

TEST(Update, EveryFailureIsToldAndNothingFollowsIt) {
  struct Case {
    sim::DeviceConfig device;
    std::vector<sim::FaultPlan> faults;
    uint16_t imageType;
    FlashResult result;
    std::string line;
    std::size_t packets;  // what the device received after the scan
  };
  const auto dev = testing::Device(0x3514);
  auto newBootloader = dev;
  newBootloader.bootloaderVersion = 0x0102;
  const std::string timeout = "Timeout on write data !";
  const auto blockSize = [](int size) {
    return "The device reports a block size of " + std::to_string(size) +
           " bytes, which cannot be sent (1 to 1021 can). Nothing was sent.";
  };
  const auto failed = FlashResult::WriteFailed;
  // clang-format off
  const Case cases[] = {
      {dev, {}, 0x3409, FlashResult::WrongDevice, "Firmware file is not for selected device!", 0},
      {newBootloader, {}, 0x3514, FlashResult::WrongBootloader, "Wrong bootloader version!", 0},
      {testing::Device(0x3514, 0), {}, 0x3514, FlashResult::UnusableBlockSize, blockSize(0), 0},
      {testing::Device(0x3514, 1022), {}, 0x3514, FlashResult::UnusableBlockSize, blockSize(1022), 0},
      {dev, {{Fault::Silent, PacketKind::Start, 0}}, 0x3514, failed, timeout, 1},
      {dev, {{Fault::WrongAck, PacketKind::Start, 0}}, 0x3514, failed, timeout, 1},
      {dev, {{Fault::Silent, PacketKind::Block, 2}}, 0x3514, failed, timeout, 4},
      {dev, {{Fault::WrongAck, PacketKind::Block, 1}}, 0x3514, failed, timeout, 3},
      {dev, {{Fault::LateAck, PacketKind::Block, 1}}, 0x3514, failed, timeout, 3},
      {dev, {{Fault::Vanish, PacketKind::Block, 2}}, 0x3514, failed, timeout, 4},
  };
  // clang-format on
  for (const Case& c : cases) {
    SCOPED_TRACE(&c - cases);
    Bench bench(c.device, c.faults);
    ASSERT_EQ(bench.session.interfaces.Count(), 1u);
    bench.UseImage(c.imageType, sim::PatternPayload(4 * 512, 5));
    const auto outcome = bench.Flash();
    EXPECT_EQ(outcome.result, c.result);
    EXPECT_EQ(outcome.statusLine, c.line);
    ASSERT_FALSE(bench.feedback.statuses.empty());
    EXPECT_EQ(bench.feedback.statuses.front().text, c.line);
    EXPECT_TRUE(bench.feedback.statuses.front().alert);
    EXPECT_FALSE(bench.feedback.Said("RUN application."));
    EXPECT_GE(bench.feedback.arrowCursors, 1);
    EXPECT_EQ(bench.Stamp(), "");
    const sim::DeviceModel got = bench.device->Snapshot();
    EXPECT_FALSE(got.RunReceived());
    EXPECT_EQ(got.Packets().size() - bench.packetsAfterScan, c.packets);
    EXPECT_EQ(bench.session.currentImagePath.empty(), c.result == FlashResult::WrongDevice);
    if (!got.Vanished()) {
      discovery::ScanInterfaces(bench.session);  // the port was closed: found again at once
      EXPECT_EQ(bench.session.interfaces.Count(), 1u);
    }
  }
}

TEST(Update, RequestsThatCannotBeCarriedOutSendNothing) {
  testing::TempDir dir;
  const auto whole = sim::BuildImageFile(1, 0x3514, sim::PatternPayload(100, 1));
  const std::vector<std::pair<std::vector<uint8_t>, std::string>> images = {
      {{}, "is empty"},
      {{whole.begin(), whole.begin() + 10}, "inside its 13-byte"},
      {{whole.begin(), whole.end() - 1}, "99 of 100"},
      {sim::BuildImageFile(1, 0x3514, sim::PatternPayload(100, 1), 262145), "262145"},
  };
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
  for (const int index : {-1, 1, 99}) {
    const auto outcome = update::FlashInterface(bench.session, index);
    EXPECT_EQ(outcome.result, FlashResult::NoSuchInterface);
    EXPECT_EQ(outcome.statusLine, "Wrong interface selection !");
  }
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

// Runs `during` once, from inside the update, just before block `atBlock` goes out: the port is
// then certainly held, with no guessing at timing.
class InterruptingFeedback : public testing::RecordingFeedback {
 public:
  InterruptingFeedback(uint32_t atBlock, std::function<void()> during)
      : m_atBlock(atBlock), m_during(std::move(during)) {}
  void StepProgress() override {
    RecordingFeedback::StepProgress();
    if (progressSteps == m_atBlock) {
      m_during();
    }
  }

 private:
  uint32_t m_atBlock;
  std::function<void()> m_during;
};

TEST(TwoPrograms, ScanOfAPortBeingUpdatedFindsItBusyAndSendsNothing) {
  testing::TempDir dir;
  auto device = testing::StartDevice(testing::Device(0x3514, 256));
  const std::vector<uint8_t> payload = sim::PatternPayload(40 * 256, 3);
  auto image = std::make_unique<update::FirmwareImage>();
  image->deviceId = 0x3514;
  image->length = static_cast<uint32_t>(payload.size());
  std::copy(payload.begin(), payload.end(), image->data.begin());
  protocol::InterfaceRecord record;
  record.bootloaderVersion = 0x0100;
  record.deviceId = 0x3514;
  record.blockSize = 256;
  record.portPath = device->Path();

  testing::ProgramResult second;
  InterruptingFeedback feedback(20, [&] {
    second =
        testing::RunProgram({LUMAFLASH_CLI_PATH, "scan", "--port", device->Path()}, dir.Path());
  });
  const auto outcome = update::TransferImage(record, *image, "big.bin", feedback);
  EXPECT_EQ(outcome.result, FlashResult::Success) << outcome.statusLine;
  EXPECT_EQ(second.exitCode, 0) << second.err;
  EXPECT_NE(second.err.find(device->Path() + " is busy"), std::string::npos) << second.err;
  EXPECT_NE(second.out.find("0 Interfaces found"), std::string::npos) << second.out;
  const auto got = device->Snapshot();
  EXPECT_EQ(got.Image(), payload);
  // Start, 40 blocks, run: not one byte more, so the second program sent nothing.
  EXPECT_EQ(got.Packets().size(), 42u);
  EXPECT_TRUE(got.ProtocolViolations().empty());
}

}  // namespace
}  // namespace lumaflash
