#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "discovery/scan.h"
#include "session.h"
#include "settings/last_image.h"
#include "sim/image_file.h"
#include "support/recording_feedback.h"
#include "support/sim_devices.h"
#include "support/temp_dir.h"
#include "update/flash.h"
#include "update/image.h"

namespace lumaflash {
namespace {

using update::FlashResult;

// A scanned session with one simulated device and an image file for it.
struct Bench {
  explicit Bench(sim::DeviceConfig config, std::vector<sim::FaultPlan> faults = {})
      : device(testing::StartDevice(std::move(config), std::move(faults))), session(feedback) {
    session.namedPorts = {device->Path()};
    session.recallLastImage = false;
    session.today = [] { return settings::LocalDate{6, 12, 2026}; };
    settings::SetupSettings(session, dir.Path());
    discovery::ScanInterfaces(session);
    feedback.statuses.clear();
  }

  void UseImage(uint16_t deviceId, const std::vector<uint8_t>& payload, uint8_t version = 1) {
    session.currentImagePath =
        dir.Write("image.bin", sim::BuildImageFile(version, deviceId, payload)).string();
  }

  update::FlashOutcome Flash() { return update::FlashInterface(session, 0); }

  testing::TempDir dir;
  std::unique_ptr<sim::PtyDevice> device;
  testing::RecordingFeedback feedback;
  Session session;
};

std::vector<uint8_t> PaddedTo(std::vector<uint8_t> payload, std::size_t blockSize) {
  payload.resize((payload.size() + blockSize - 1) / blockSize * blockSize, 0);
  return payload;
}

struct TransferCase {
  const char* name;
  uint16_t deviceId;
  uint16_t blockSize;
  std::size_t length;
};

TEST(Update, DeviceReceivesExactlyTheImage) {
  const TransferCase cases[] = {
      {"partial last block", 0x3514, 512, 1000},
      {"whole blocks, 5 ms type", 0x3611, 512, 1024},
      {"20 ms type", 0x0008, 512, 1200},
      {"unlisted 100 ms type", 0x1234, 512, 700},
      {"full buffer, block size that does not divide it", 0x3514, 1000, 262144},
  };
  for (const TransferCase& c : cases) {
    SCOPED_TRACE(c.name);
    Bench bench(testing::Device(c.deviceId, c.blockSize));
    ASSERT_EQ(bench.session.interfaces.Count(), 1u);
    const auto payload = sim::PatternPayload(c.length, 7);
    bench.UseImage(c.deviceId, payload);
    auto outcome = bench.Flash();
    EXPECT_EQ(outcome.result, FlashResult::Success) << outcome.statusLine;

    const sim::DeviceModel got = bench.device->Snapshot();
    EXPECT_EQ(got.StartLengthByte(), static_cast<uint8_t>(c.length & 0xFF));
    EXPECT_EQ(got.Image(), PaddedTo(payload, c.blockSize));
    EXPECT_EQ(static_cast<std::size_t>(got.BlockCount()),
              (c.length + c.blockSize - 1) / c.blockSize);
    EXPECT_TRUE(got.RunReceived());
    EXPECT_TRUE(got.TimingViolations().empty()) << got.TimingViolations().front();
    EXPECT_TRUE(got.ProtocolViolations().empty()) << got.ProtocolViolations().front();
    EXPECT_EQ(
        bench.feedback.Texts(),
        (std::vector<std::string>{"Write data complete. (" + bench.session.currentImagePath + ")",
                                  "RUN application."}));
    EXPECT_EQ(bench.feedback.progressRange, (c.length + c.blockSize - 1) / c.blockSize);
    EXPECT_EQ(bench.feedback.progressPosition, 0u);
  }
}

TEST(Update, LastBlockIsPaddedWithZerosNotAnEarlierImage) {
  Bench bench(testing::Device(0x3514, 512));
  bench.UseImage(0x3514, std::vector<uint8_t>(1024, 0xEE));
  ASSERT_EQ(bench.Flash().result, FlashResult::Success);
  // The device left the bootloader; a fresh one takes the shorter image.
  Bench second(testing::Device(0x3514, 512));
  second.session.image = std::move(bench.session.image);  // the buffer that held 0xEE bytes
  const auto payload = sim::PatternPayload(600, 3);
  second.UseImage(0x3514, payload);
  ASSERT_EQ(second.Flash().result, FlashResult::Success);
  EXPECT_EQ(second.device->Snapshot().Image(), PaddedTo(payload, 512));
}

TEST(Update, StampIsWrittenAfterSuccessOnly) {
  Bench bench(testing::Device(0x3514));
  bench.UseImage(0x3514, sim::PatternPayload(512, 1));
  ASSERT_EQ(bench.Flash().result, FlashResult::Success);
  settings::AppSettings stored(bench.dir / "Lumaflash.ini");
  EXPECT_EQ(stored.ReadLastDevice(), "351406122026");

  Bench failing(testing::Device(0x3514), {{sim::Fault::Silent, sim::PacketKind::Block, 0}});
  failing.UseImage(0x3514, sim::PatternPayload(512, 1));
  ASSERT_EQ(failing.Flash().result, FlashResult::WriteFailed);
  settings::AppSettings none(failing.dir / "Lumaflash.ini");
  EXPECT_EQ(none.ReadLastDevice(), "");
}

struct FailureCase {
  const char* name;
  sim::DeviceConfig device;
  std::vector<sim::FaultPlan> faults;
  uint16_t imageType;
  FlashResult result;
  std::string line;
  int packetsAfterScan;  // what the device may have received; -1: do not check
};

sim::DeviceConfig WithBootloader(uint16_t version) {
  sim::DeviceConfig config = testing::Device(0x3514);
  config.bootloaderVersion = version;
  config.infoTag = 0;
  return config;
}

TEST(Update, EveryFailureIsToldAndNothingFollowsIt) {
  using sim::Fault;
  using sim::PacketKind;
  const auto dev = testing::Device(0x3514);
  const FailureCase cases[] = {
      {"image for another type",
       dev,
       {},
       0x3409,
       FlashResult::WrongDevice,
       "Firmware file is not for selected device!",
       0},
      {"bootloader too new",
       WithBootloader(0x0102),
       {},
       0x3514,
       FlashResult::WrongBootloader,
       "Wrong bootloader version!",
       0},
      {"block size 0",
       testing::Device(0x3514, 0),
       {},
       0x3514,
       FlashResult::UnusableBlockSize,
       "The device reports a block size of 0 bytes, which cannot be sent (1 to 1021 can). "
       "Nothing was sent.",
       0},
      {"block size 1022",
       testing::Device(0x3514, 1022),
       {},
       0x3514,
       FlashResult::UnusableBlockSize,
       "The device reports a block size of 1022 bytes, which cannot be sent (1 to 1021 can). "
       "Nothing was sent.",
       0},
      {"start not answered",
       dev,
       {{Fault::Silent, PacketKind::Start, 0}},
       0x3514,
       FlashResult::WriteFailed,
       "Timeout on write data !",
       1},
      {"start answered B8",
       dev,
       {{Fault::WrongAck, PacketKind::Start, 0}},
       0x3514,
       FlashResult::WriteFailed,
       "Timeout on write data !",
       1},
      {"block not answered after acknowledged ones",
       dev,
       {{Fault::Silent, PacketKind::Block, 2}},
       0x3514,
       FlashResult::WriteFailed,
       "Timeout on write data !",
       4},
      {"block answered B8",
       dev,
       {{Fault::WrongAck, PacketKind::Block, 1}},
       0x3514,
       FlashResult::WriteFailed,
       "Timeout on write data !",
       3},
      {"late acknowledge",
       dev,
       {{Fault::LateAck, PacketKind::Block, 1}},
       0x3514,
       FlashResult::WriteFailed,
       "Timeout on write data !",
       3},
      {"device vanishes mid-transfer",
       dev,
       {{Fault::Vanish, PacketKind::Block, 2}},
       0x3514,
       FlashResult::WriteFailed,
       "Timeout on write data !",
       4},
  };
  for (const FailureCase& c : cases) {
    SCOPED_TRACE(c.name);
    Bench bench(c.device, c.faults);
    ASSERT_EQ(bench.session.interfaces.Count(), 1u);
    const int packetsBefore = static_cast<int>(bench.device->Snapshot().Packets().size());
    bench.UseImage(c.imageType, sim::PatternPayload(4 * 512, 5));
    auto outcome = bench.Flash();
    EXPECT_EQ(outcome.result, c.result);
    EXPECT_EQ(outcome.statusLine, c.line);
    ASSERT_FALSE(bench.feedback.statuses.empty());
    EXPECT_EQ(bench.feedback.statuses.front().text, c.line);
    EXPECT_TRUE(bench.feedback.statuses.front().alert);
    EXPECT_FALSE(bench.feedback.Said("RUN application."));
    EXPECT_GE(bench.feedback.arrowCursors, 1);
    const sim::DeviceModel got = bench.device->Snapshot();
    EXPECT_FALSE(got.RunReceived());
    EXPECT_EQ(static_cast<int>(got.Packets().size()) - packetsBefore, c.packetsAfterScan);
    EXPECT_EQ(bench.session.currentImagePath.empty(), c.result == FlashResult::WrongDevice);
    if (!got.Vanished()) {
      // The port was closed: a scan right after finds the device again.
      discovery::ScanInterfaces(bench.session);
      EXPECT_EQ(bench.session.interfaces.Count(), 1u);
    }
  }
}

TEST(Update, DoubleAcknowledgeDoesNotConfuseTheNextPacket) {
  Bench bench(testing::Device(0x3514), {{sim::Fault::DoubleAck, sim::PacketKind::Block, -1}});
  const auto payload = sim::PatternPayload(2048, 9);
  bench.UseImage(0x3514, payload);
  EXPECT_EQ(bench.Flash().result, FlashResult::Success);
  EXPECT_EQ(bench.device->Snapshot().Image(), payload);
}

TEST(Update, PortHeldByAnotherProgramIsReported) {
  Bench bench(testing::Device(0x3514));
  serial::PortLink holder;
  ASSERT_TRUE(holder.OpenPort(serial::PortAddress{1, bench.device->Path()}));
  bench.UseImage(0x3514, sim::PatternPayload(512, 1));
  auto outcome = bench.Flash();
  EXPECT_EQ(outcome.result, FlashResult::PortOpenFailed);
  EXPECT_EQ(outcome.port.error, serial::PortError::Busy);
  const auto texts = bench.feedback.Texts();
  ASSERT_EQ(texts.size(), 2u);
  EXPECT_EQ(texts[0], "Error while open USB port !");
  EXPECT_NE(texts[1].find("is busy"), std::string::npos);
  EXPECT_FALSE(bench.session.currentImagePath.empty());
}

TEST(Update, UnusableImagesAreRefusedBeforeThePortIsOpened) {
  testing::TempDir dir;
  const auto payload = sim::PatternPayload(100, 1);
  auto whole = sim::BuildImageFile(1, 0x3514, payload);
  struct Case {
    const char* name;
    std::vector<uint8_t> bytes;
    const char* words;
  };
  const Case cases[] = {
      {"empty file", {}, "is empty"},
      {"header cut", std::vector<uint8_t>(whole.begin(), whole.begin() + 10), "inside its 13-byte"},
      {"payload cut", std::vector<uint8_t>(whole.begin(), whole.end() - 1), "99 of 100"},
      {"too large", sim::BuildImageFile(1, 0x3514, payload, 262145), "262145"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Bench bench(testing::Device(0x3514));
    const int packetsBefore = static_cast<int>(bench.device->Snapshot().Packets().size());
    bench.session.currentImagePath = bench.dir.Write("broken.bin", c.bytes).string();
    auto outcome = bench.Flash();
    EXPECT_EQ(outcome.result, FlashResult::ImageUnusable);
    EXPECT_NE(outcome.statusLine.find(c.words), std::string::npos) << outcome.statusLine;
    EXPECT_EQ(static_cast<int>(bench.device->Snapshot().Packets().size()), packetsBefore);
  }
  Bench missing(testing::Device(0x3514));
  missing.session.currentImagePath = (missing.dir / "nowhere.bin").string();
  EXPECT_EQ(missing.Flash().result, FlashResult::ImageUnusable);
  Bench noPath(testing::Device(0x3514));
  noPath.session.currentImagePath.clear();
  EXPECT_EQ(noPath.Flash().result, FlashResult::NoImagePath);
  EXPECT_TRUE(noPath.feedback.statuses.empty());
}

TEST(ImageFile, HeaderLayouts) {
  testing::TempDir dir;
  const auto payload = sim::PatternPayload(512, 2);
  struct Case {
    uint8_t version;
    std::size_t headerSize;
  };
  for (Case c : {Case{0, 13}, Case{1, 13}, Case{2, 16}, Case{7, 16}}) {
    auto bytes = sim::BuildImageFile(c.version, 0x3514, payload);
    ASSERT_EQ(bytes.size(), c.headerSize + payload.size());
    bytes.push_back(0x42);  // bytes after the payload are ignored
    auto image = std::make_unique<update::FirmwareImage>();
    std::string error;
    ASSERT_TRUE(update::LoadFirmwareImage(dir.Write("v.bin", bytes), *image, error)) << error;
    EXPECT_EQ(image->headerVersion, c.version);
    EXPECT_EQ(image->deviceId, 0x3514);
    EXPECT_EQ(image->length, 512u);
    EXPECT_TRUE(std::equal(payload.begin(), payload.end(), image->data.begin()));
    EXPECT_EQ(image->data[512], 0);
  }
  auto full = std::make_unique<update::FirmwareImage>();
  std::string error;
  const auto biggest = sim::PatternPayload(update::kImageBufferSize, 4);
  ASSERT_TRUE(update::LoadFirmwareImage(
      dir.Write("full.bin", sim::BuildImageFile(1, 0x0008, biggest)), *full, error));
  EXPECT_EQ(full->length, update::kImageBufferSize);
  EXPECT_TRUE(std::equal(biggest.begin(), biggest.end(), full->data.begin()));
}

}  // namespace
}  // namespace lumaflash
