#include "sim/device_model.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>

namespace lumaflash::sim {
namespace {

using namespace std::chrono_literals;
using Bytes = std::vector<uint8_t>;

constexpr uint8_t kIdentify = 0xB0;
constexpr uint8_t kRun = 0xB7;
const Clock::time_point kT0{};

Bytes ProgramPacket(const Bytes& payload) {
  Bytes packet{0xB1, static_cast<uint8_t>(payload.size() >> 8),
               static_cast<uint8_t>(payload.size() & 0xFF)};
  packet.insert(packet.end(), payload.begin(), payload.end());
  return packet;
}

Bytes StartPacket(uint8_t lengthByte) {
  return ProgramPacket({lengthByte});
}

// A payload of consecutive byte values from `first`, so that blocks are told apart.
Bytes Payload(std::size_t size, uint8_t first) {
  Bytes payload(size);
  for (std::size_t i = 0; i < size; ++i) {
    payload[i] = static_cast<uint8_t>(first + i);
  }
  return payload;
}

Bytes Concat(const std::vector<Bytes>& parts) {
  Bytes all;
  for (const Bytes& part : parts) {
    all.insert(all.end(), part.begin(), part.end());
  }
  return all;
}

// "B9@0ms B8@120ms": every reply's bytes in hex and its delay, for exact comparison with a
// readable failure message.
std::string Describe(const std::vector<Reply>& replies) {
  std::string text;
  for (const Reply& reply : replies) {
    if (!text.empty()) {
      text += ' ';
    }
    for (const uint8_t byte : reply.bytes) {
      std::array<char, 3> hex{};
      std::snprintf(hex.data(), hex.size(), "%02X", byte);
      text += hex.data();
    }
    text +=
        '@' +
        std::to_string(std::chrono::duration_cast<std::chrono::milliseconds>(reply.delay).count()) +
        "ms";
  }
  return text;
}

Reply Now(Bytes bytes) {
  return Reply{std::move(bytes), 0ms};
}
const Reply kAck = Now({0xB9});
const Reply kLate = Reply{{0xB9}, kLateDelay};

// Feeds each step at its own time, `gap` apart, and keeps what each step got back.
std::vector<Response> Feed(DeviceModel& model, const std::vector<Bytes>& steps,
                           Clock::duration gap) {
  std::vector<Response> responses;
  Clock::time_point now = kT0;
  for (const Bytes& step : steps) {
    responses.push_back(model.Receive(step, now));
    now += gap;
  }
  return responses;
}

std::vector<Reply> AllReplies(const std::vector<Response>& responses, std::size_t from) {
  std::vector<Reply> all;
  for (std::size_t i = from; i < responses.size(); ++i) {
    all.insert(all.end(), responses[i].replies.begin(), responses[i].replies.end());
  }
  return all;
}

DeviceConfig Identity(uint16_t bootloader, uint16_t deviceId, uint16_t infoTag, uint16_t blockSize,
                      Bytes serial) {
  DeviceConfig config;
  config.bootloaderVersion = bootloader;
  config.firmwareVersion = 0x0203;
  config.deviceId = deviceId;
  config.infoTag = infoTag;
  config.blockSize = blockSize;
  config.serial = std::move(serial);
  return config;
}

TEST(SimDeviceModel, IdentifyReplyFollowsTheLayoutOfBootloaderAndType) {
  struct Case {
    const char* name;
    DeviceConfig config;
    Bytes expected;
  };
  const std::vector<Case> cases = {
      {"0x0101 with tag 0x2118 carries block size and serial",
       Identity(0x0101, 0x1234, 0x2118, 256, {0xA1, 0xA2, 0xA3, 0xA4}),
       {0x01, 0x01, 0x03, 0x02, 0x34, 0x12, 0x18, 0x21, 0x00, 0x01, 0x04, 0xA1, 0xA2, 0xA3, 0xA4}},
      {"0x0101 with another tag ends after the tag",
       Identity(0x0101, 0x1234, 0x1821, 256, {0xA1, 0xA2}),
       {0x01, 0x01, 0x03, 0x02, 0x34, 0x12, 0x21, 0x18}},
      {"0x0101 with tag 0x2118 keeps its layout for a six-byte-serial type",
       Identity(0x0101, 0x4801, 0x2118, 512, {0x55}),
       {0x01, 0x01, 0x03, 0x02, 0x01, 0x48, 0x18, 0x21, 0x00, 0x02, 0x01, 0x55}},
      {"0x4801 pads a short serial to 6 bytes",
       Identity(0x0100, 0x4801, 0x2118, 512, {0x12, 0x34, 0x56, 0x78}),
       {0x00, 0x01, 0x03, 0x02, 0x01, 0x48, 0x00, 0x02, 0x12, 0x34, 0x56, 0x78, 0x00, 0x00}},
      {"0x0481 cuts a long serial to 6 bytes",
       Identity(0x0100, 0x0481, 0x2118, 128, {1, 2, 3, 4, 5, 6, 7, 8}),
       {0x00, 0x01, 0x03, 0x02, 0x81, 0x04, 0x80, 0x00, 1, 2, 3, 4, 5, 6}},
      {"0x3514 prefixes the serial with its length",
       Identity(0x0100, 0x3514, 0x2118, 1021, {0x9A, 0xBC, 0xDE}),
       {0x00, 0x01, 0x03, 0x02, 0x14, 0x35, 0xFD, 0x03, 0x03, 0x9A, 0xBC, 0xDE}},
      {"0x0795 without a serial sends length 0",
       Identity(0x0100, 0x0795, 0x2118, 512, {}),
       {0x00, 0x01, 0x03, 0x02, 0x95, 0x07, 0x00, 0x02, 0x00}},
      {"0x3690 under bootloader 0x0102 uses the type's layout",
       Identity(0x0102, 0x3690, 0x2118, 64, {0x77}),
       {0x02, 0x01, 0x03, 0x02, 0x90, 0x36, 0x40, 0x00, 0x01, 0x77}},
      {"0x3711 prefixes the serial with its length",
       Identity(0x0100, 0x3711, 0x2118, 512, {0x01, 0x02}),
       {0x00, 0x01, 0x03, 0x02, 0x11, 0x37, 0x00, 0x02, 0x02, 0x01, 0x02}},
      {"another type sends only the 6 fixed bytes",
       Identity(0x0100, 0x3603, 0x2118, 256, {0x01, 0x02}),
       {0x00, 0x01, 0x03, 0x02, 0x03, 0x36}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(EncodeIdentifyReply(c.config), c.expected);
    DeviceModel model(c.config);
    const Response response = model.Receive(Bytes{kIdentify}, kT0);
    EXPECT_EQ(Describe(response.replies), Describe({Now(c.expected)}));
    EXPECT_FALSE(response.vanish);
  }
}

TEST(SimDeviceModel, RequiredPauseByDeviceType) {
  const std::vector<std::pair<uint16_t, std::chrono::milliseconds>> cases = {
      {0x3603, 10ms}, {0x0795, 10ms}, {0x3690, 10ms},  {0x3514, 10ms},  {0x3711, 10ms},
      {0x3611, 5ms},  {0x0008, 20ms}, {0x0004, 100ms}, {0x4801, 100ms}, {0x0000, 100ms},
  };
  for (const auto& [deviceId, pause] : cases) {
    EXPECT_EQ(RequiredPause(deviceId), pause) << "device type " << deviceId;
  }
}

TEST(SimDeviceModel, ProgrammingRunArrivesInAnyFragments) {
  constexpr uint16_t kBlockSize = 16;
  // The second block holds the command bytes 0xB0, 0xB1 and 0xB7: they are payload there.
  const std::vector<Bytes> payloads = {Payload(kBlockSize, 0x00), Payload(kBlockSize, 0xAC),
                                       Payload(kBlockSize, 0xF8)};
  const std::vector<Bytes> packets = {StartPacket(0x2B), ProgramPacket(payloads[0]),
                                      ProgramPacket(payloads[1]), ProgramPacket(payloads[2]),
                                      Bytes{kRun}};
  const Bytes stream = Concat(packets);

  struct Case {
    const char* name;
    std::vector<std::size_t> fragmentSizes;  // repeated until the stream is used up
  };
  const std::vector<Case> cases = {
      {"one byte at a time", {1}},
      {"two bytes at a time", {2}},
      {"odd sizes across packet ends", {3, 7, 1, 11}},
      {"header apart from payload", {1, 2, 16, 5}},
      {"exactly one packet each", {4, 19, 19, 19, 1}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    DeviceConfig config = Identity(0x0100, 0x3514, 0, kBlockSize, {});
    DeviceModel model(config);
    std::vector<Reply> replies;
    Clock::time_point now = kT0;
    std::size_t offset = 0;
    for (std::size_t i = 0; offset < stream.size(); ++i) {
      const std::size_t size =
          std::min(c.fragmentSizes[i % c.fragmentSizes.size()], stream.size() - offset);
      const Response response = model.Receive(std::span(stream).subspan(offset, size), now);
      replies.insert(replies.end(), response.replies.begin(), response.replies.end());
      offset += size;
      now += 150ms;  // longer than any pause, so only framing is under test here
    }
    EXPECT_EQ(Describe(replies), Describe({kAck, kAck, kAck, kAck, kAck}));
    EXPECT_EQ(model.Packets(), packets);
    EXPECT_EQ(model.StartLengthByte(), std::optional<uint8_t>{0x2B});
    EXPECT_EQ(model.Image(), Concat(payloads));
    EXPECT_EQ(model.BlockCount(), 3);
    EXPECT_TRUE(model.RunReceived());
    EXPECT_FALSE(model.InBootloader());
    EXPECT_TRUE(model.TimingViolations().empty());
    EXPECT_TRUE(model.ProtocolViolations().empty());
  }
}

TEST(SimDeviceModel, BlocksThatComeBeforeTheirPauseAreNoted) {
  struct Case {
    const char* name;
    uint16_t deviceId;
    std::vector<FaultPlan> faults;
    Clock::duration firstGap;  // start packet to block 1
    Clock::duration laterGap;  // block to block
    std::vector<std::string> expected;
  };
  const auto twoEarly = [](int came, int needs) {
    const std::string tail = " came " + std::to_string(came) + " ms after the acknowledge, needs " +
                             std::to_string(needs) + " ms";
    return std::vector<std::string>{"block 2" + tail, "block 3" + tail};
  };
  const std::vector<Case> cases = {
      {"5 ms type, 4 ms apart", 0x3611, {}, 100ms, 4ms, twoEarly(4, 5)},
      {"5 ms type, 4.999 ms apart", 0x3611, {}, 100ms, 4999us, twoEarly(4, 5)},
      {"5 ms type, on time", 0x3611, {}, 100ms, 5ms, {}},
      {"10 ms type, 9 ms apart", 0x3514, {}, 100ms, 9ms, twoEarly(9, 10)},
      {"10 ms type, on time", 0x3514, {}, 100ms, 10ms, {}},
      {"20 ms type, 19 ms apart", 0x0008, {}, 100ms, 19ms, twoEarly(19, 20)},
      {"20 ms type, on time", 0x0008, {}, 100ms, 20ms, {}},
      {"100 ms type, 99 ms apart", 0x1234, {}, 100ms, 99ms, twoEarly(99, 100)},
      {"100 ms type, on time", 0x1234, {}, 100ms, 100ms, {}},
      {"first block 99 ms after the start",
       0x3514,
       {},
       99ms,
       10ms,
       {"block 1 came 99 ms after the acknowledge, needs 100 ms"}},
      {"first block of a fast type still needs 100 ms",
       0x3611,
       {},
       50ms,
       5ms,
       {"block 1 came 50 ms after the acknowledge, needs 100 ms"}},
      {"a late start acknowledge moves the pause",
       0x3514,
       {{Fault::LateAck, PacketKind::Start, 0}},
       200ms,
       10ms,
       {"block 1 came 80 ms after the acknowledge, needs 100 ms"}},
      {"a block before a late acknowledge",
       0x3514,
       {{Fault::LateAck, PacketKind::Block, 0}},
       100ms,
       65ms,
       {"block 2 came before the acknowledge was sent, needs 10 ms"}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    DeviceModel model(Identity(0x0100, c.deviceId, 0, 4, {}), c.faults);
    const Bytes block = ProgramPacket(Payload(4, 0x10));
    Clock::time_point now = kT0;
    model.Receive(StartPacket(0x0C), now);
    now += c.firstGap;
    for (int i = 0; i < 3; ++i) {
      model.Receive(block, now);
      now += c.laterGap;
    }
    EXPECT_EQ(model.BlockCount(), 3);
    EXPECT_EQ(model.TimingViolations(), c.expected);
  }
}

TEST(SimDeviceModel, FaultsBendTheAnswerToOnePacket) {
  const DeviceConfig config = Identity(0x0100, 0x3514, 0, 8, {0x12, 0x34});
  const Bytes identifyReply = {0x00, 0x01, 0x03, 0x02, 0x14, 0x35, 0x08, 0x00, 0x02, 0x12, 0x34};
  Bytes overlongReply = identifyReply;
  overlongReply.resize(kOverlongReplySize, 0x00);
  const std::vector<Bytes> payloads = {Payload(8, 0x10), Payload(8, 0x20), Payload(8, 0x30)};
  // identify, start, three blocks, run, and an identify to see whether the device is still there
  const std::vector<Bytes> steps = {Bytes{kIdentify},
                                    StartPacket(0x18),
                                    ProgramPacket(payloads[0]),
                                    ProgramPacket(payloads[1]),
                                    ProgramPacket(payloads[2]),
                                    Bytes{kRun},
                                    Bytes{kIdentify}};
  constexpr std::size_t kIdentifyStep = 0;
  constexpr std::size_t kStartStep = 1;
  constexpr std::size_t kMiddleBlockStep = 3;
  constexpr std::size_t kRunStep = 5;
  const std::vector<Reply> fourAcks = {kAck, kAck, kAck, kAck};
  const std::vector<Reply> fiveAcks = {kAck, kAck, kAck, kAck, kAck};

  struct Case {
    const char* name;
    FaultPlan plan;
    std::size_t step;
    std::vector<Reply> replies;       // what the faulted packet gets
    std::vector<Reply> laterReplies;  // what all packets after it get
    bool vanish;
    std::vector<std::size_t> imageBlocks;  // the blocks Image() holds, by position
    bool runReceived;
    bool inBootloader;
    std::size_t packets;
  };
  const std::vector<Case> cases = {
      {"silent identify",
       {Fault::Silent, PacketKind::Identify, 0},
       kIdentifyStep,
       {},
       fiveAcks,
       false,
       {0, 1, 2},
       true,
       false,
       6},
      {"identify answered with zeros",
       {Fault::WrongAck, PacketKind::Identify, 0},
       kIdentifyStep,
       {Now(Bytes(7, 0x00))},
       fiveAcks,
       false,
       {0, 1, 2},
       true,
       false,
       6},
      {"late identify reply",
       {Fault::LateAck, PacketKind::Identify, 0},
       kIdentifyStep,
       {Reply{identifyReply, kLateDelay}},
       fiveAcks,
       false,
       {0, 1, 2},
       true,
       false,
       6},
      {"identify reply twice",
       {Fault::DoubleAck, PacketKind::Identify, 0},
       kIdentifyStep,
       {Now(identifyReply), Now(identifyReply)},
       fiveAcks,
       false,
       {0, 1, 2},
       true,
       false,
       6},
      {"short identify reply",
       {Fault::Short, PacketKind::Identify, 0},
       kIdentifyStep,
       {Now({0x00, 0x01, 0x03, 0x02, 0x14})},
       fiveAcks,
       false,
       {0, 1, 2},
       true,
       false,
       6},
      {"overlong identify reply",
       {Fault::Overlong, PacketKind::Identify, 0},
       kIdentifyStep,
       {Now(overlongReply)},
       fiveAcks,
       false,
       {0, 1, 2},
       true,
       false,
       6},
      {"vanish on identify",
       {Fault::Vanish, PacketKind::Identify, 0},
       kIdentifyStep,
       {},
       {},
       true,
       {},
       false,
       true,
       1},
      // An unacknowledged start opens no run: the blocks then count as malformed start packets.
      {"silent start",
       {Fault::Silent, PacketKind::Start, 0},
       kStartStep,
       {},
       {kAck},
       false,
       {},
       true,
       false,
       6},
      {"start refused",
       {Fault::WrongAck, PacketKind::Start, 0},
       kStartStep,
       {Now({0xB8})},
       {kAck},
       false,
       {},
       true,
       false,
       6},
      {"late start acknowledge",
       {Fault::LateAck, PacketKind::Start, 0},
       kStartStep,
       {kLate},
       fourAcks,
       false,
       {0, 1, 2},
       true,
       false,
       6},
      {"start acknowledged twice",
       {Fault::DoubleAck, PacketKind::Start, 0},
       kStartStep,
       {kAck, kAck},
       fourAcks,
       false,
       {0, 1, 2},
       true,
       false,
       6},
      {"vanish on start",
       {Fault::Vanish, PacketKind::Start, 0},
       kStartStep,
       {},
       {},
       true,
       {},
       false,
       true,
       2},
      {"silent middle block",
       {Fault::Silent, PacketKind::Block, 1},
       kMiddleBlockStep,
       {},
       {kAck, kAck},
       false,
       {0, 2},
       true,
       false,
       6},
      {"middle block refused",
       {Fault::WrongAck, PacketKind::Block, 1},
       kMiddleBlockStep,
       {Now({0xB8})},
       {kAck, kAck},
       false,
       {0, 2},
       true,
       false,
       6},
      {"late block acknowledge",
       {Fault::LateAck, PacketKind::Block, 1},
       kMiddleBlockStep,
       {kLate},
       {kAck, kAck},
       false,
       {0, 1, 2},
       true,
       false,
       6},
      {"block acknowledged twice",
       {Fault::DoubleAck, PacketKind::Block, 1},
       kMiddleBlockStep,
       {kAck, kAck},
       {kAck, kAck},
       false,
       {0, 1, 2},
       true,
       false,
       6},
      {"short on a block leaves the acknowledge alone",
       {Fault::Short, PacketKind::Block, 1},
       kMiddleBlockStep,
       {kAck},
       {kAck, kAck},
       false,
       {0, 1, 2},
       true,
       false,
       6},
      {"vanish on the middle block",
       {Fault::Vanish, PacketKind::Block, 1},
       kMiddleBlockStep,
       {},
       {},
       true,
       {0},
       false,
       true,
       4},
      // An unacknowledged run leaves the device in its bootloader: the last identify is answered.
      {"silent run",
       {Fault::Silent, PacketKind::Run, 0},
       kRunStep,
       {},
       {Now(identifyReply)},
       false,
       {0, 1, 2},
       false,
       true,
       7},
      {"run refused",
       {Fault::WrongAck, PacketKind::Run, 0},
       kRunStep,
       {Now({0xB8})},
       {Now(identifyReply)},
       false,
       {0, 1, 2},
       false,
       true,
       7},
      {"late run acknowledge",
       {Fault::LateAck, PacketKind::Run, 0},
       kRunStep,
       {kLate},
       {},
       false,
       {0, 1, 2},
       true,
       false,
       6},
      {"run acknowledged twice",
       {Fault::DoubleAck, PacketKind::Run, 0},
       kRunStep,
       {kAck, kAck},
       {},
       false,
       {0, 1, 2},
       true,
       false,
       6},
      {"vanish on run",
       {Fault::Vanish, PacketKind::Run, 0},
       kRunStep,
       {},
       {},
       true,
       {0, 1, 2},
       false,
       true,
       6},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    DeviceModel model(config, {c.plan});
    // 300 ms apart: past a late acknowledge plus the longest pause, so no timing notes.
    const std::vector<Response> responses = Feed(model, steps, 300ms);
    for (std::size_t i = 0; i < c.step; ++i) {
      EXPECT_EQ(Describe(responses[i].replies),
                Describe({i == kIdentifyStep ? Now(identifyReply) : kAck}))
          << "step " << i;
    }
    EXPECT_EQ(Describe(responses[c.step].replies), Describe(c.replies));
    EXPECT_EQ(responses[c.step].vanish, c.vanish);
    EXPECT_EQ(Describe(AllReplies(responses, c.step + 1)), Describe(c.laterReplies));
    EXPECT_EQ(model.Vanished(), c.vanish);
    std::vector<Bytes> taken;
    for (const std::size_t block : c.imageBlocks) {
      taken.push_back(payloads[block]);
    }
    EXPECT_EQ(model.Image(), Concat(taken));
    EXPECT_EQ(model.BlockCount(), static_cast<int>(c.imageBlocks.size()));
    EXPECT_EQ(model.RunReceived(), c.runReceived);
    EXPECT_EQ(model.InBootloader(), c.inBootloader);
    ASSERT_EQ(model.Packets().size(), c.packets);
    EXPECT_TRUE(std::equal(model.Packets().begin(), model.Packets().end(), steps.begin()));
    EXPECT_TRUE(model.TimingViolations().empty());
  }
}

TEST(SimDeviceModel, FaultPlanPicksPacketsByKindAndCount) {
  const Bytes block = ProgramPacket(Payload(4, 0x40));
  // Two runs, so that counting since creation differs from counting since the start packet.
  const std::vector<Bytes> steps = {Bytes{kIdentify}, StartPacket(4), block, block,
                                    Bytes{kIdentify}, StartPacket(4), block, Bytes{kRun}};
  struct Case {
    const char* name;
    FaultPlan plan;
    std::vector<std::size_t> replyCounts;  // per step
  };
  const std::vector<Case> cases = {
      {"every block", {Fault::DoubleAck, PacketKind::Block, -1}, {1, 1, 2, 2, 1, 1, 2, 1}},
      {"third block since creation",
       {Fault::DoubleAck, PacketKind::Block, 2},
       {1, 1, 1, 1, 1, 1, 2, 1}},
      {"second start", {Fault::DoubleAck, PacketKind::Start, 1}, {1, 1, 1, 1, 1, 2, 1, 1}},
      {"first identify", {Fault::DoubleAck, PacketKind::Identify, 0}, {2, 1, 1, 1, 1, 1, 1, 1}},
      {"every identify", {Fault::DoubleAck, PacketKind::Identify, -1}, {2, 1, 1, 1, 2, 1, 1, 1}},
      {"the run", {Fault::DoubleAck, PacketKind::Run, -1}, {1, 1, 1, 1, 1, 1, 1, 2}},
      {"an index past the last block",
       {Fault::DoubleAck, PacketKind::Block, 3},
       {1, 1, 1, 1, 1, 1, 1, 1}},
      {"no fault", {Fault::None, PacketKind::Block, -1}, {1, 1, 1, 1, 1, 1, 1, 1}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    DeviceModel model(Identity(0x0100, 0x3514, 0, 4, {}), {c.plan});
    const std::vector<Response> responses = Feed(model, steps, 300ms);
    std::vector<std::size_t> counts;
    for (const Response& response : responses) {
      counts.push_back(response.replies.size());
    }
    EXPECT_EQ(counts, c.replyCounts);
  }
}

TEST(SimDeviceModel, AfterTheRunOnlyAStayingDeviceAnswers) {
  const DeviceConfig base = Identity(0x0100, 0x3514, 0, 4, {});
  const Bytes identifyReply = {0x00, 0x01, 0x03, 0x02, 0x14, 0x35, 0x04, 0x00, 0x00};
  const Bytes first = Payload(4, 0x50);
  const Bytes second = Payload(4, 0x60);
  // The second start rides in the same chunk as the run, with no identify between them.
  const std::vector<Bytes> steps = {StartPacket(0x04), ProgramPacket(first),
                                    Concat({Bytes{kRun}, StartPacket(0x08)}), ProgramPacket(second),
                                    Bytes{kIdentify}};
  constexpr std::size_t kRunStep = 2;

  struct Case {
    const char* name;
    bool stayInBootloader;
    std::vector<Reply> fromRunOn;
    bool inBootloader;
    std::size_t packets;
    uint8_t startLengthByte;
    Bytes image;
    bool runReceived;  // a new start opens a new run
  };
  const std::vector<Case> cases = {
      {"leaves the bootloader", false, {kAck}, false, 3, 0x04, first, true},
      {"stays in the bootloader",
       true,
       {kAck, kAck, kAck, Now(identifyReply)},
       true,
       6,
       0x08,
       second,
       false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    DeviceConfig config = base;
    config.stayInBootloader = c.stayInBootloader;
    DeviceModel model(config);
    const std::vector<Response> responses = Feed(model, steps, 300ms);
    EXPECT_EQ(Describe(AllReplies(responses, kRunStep)), Describe(c.fromRunOn));
    EXPECT_EQ(model.InBootloader(), c.inBootloader);
    EXPECT_EQ(model.Packets().size(), c.packets);
    EXPECT_EQ(model.StartLengthByte(), std::optional<uint8_t>{c.startLengthByte});
    EXPECT_EQ(model.Image(), c.image);
    EXPECT_EQ(model.BlockCount(), 1);
    EXPECT_EQ(model.RunReceived(), c.runReceived);
    EXPECT_FALSE(model.Vanished());
  }
}

TEST(SimDeviceModel, FramingCopesWithStrayAndMalformedPackets) {
  const DeviceConfig config = Identity(0x0100, 0x3514, 0, 4, {});
  const Bytes identifyReply = {0x00, 0x01, 0x03, 0x02, 0x14, 0x35, 0x04, 0x00, 0x00};
  Bytes oversize = {0xB1, 0x03, 0xFE};
  // Identify command bytes as payload: each would be answered if the device took it for one.
  oversize.resize(3 + 1022, kIdentify);
  const Bytes largest = ProgramPacket(Bytes(1021, 0x5A));
  const Bytes commandBytesAsPayload = ProgramPacket({0xB0, 0xB7, 0xB1, 0xB9});

  struct Case {
    const char* name;
    std::vector<Bytes> steps;
    std::vector<Reply> replies;
    std::vector<Bytes> packets;
    std::vector<std::string> violations;
  };
  const std::vector<Case> cases = {
      {"stray bytes before a command are dropped",
       {{0x00, 0xFF, 0xB9, 0xB8, kIdentify}},
       {Now(identifyReply)},
       {{kIdentify}},
       {}},
      {"two packets in one chunk are both answered",
       {{kIdentify, kIdentify}},
       {Now(identifyReply), Now(identifyReply)},
       {{kIdentify}, {kIdentify}},
       {}},
      {"command bytes inside a payload are payload",
       {StartPacket(4), commandBytesAsPayload},
       {kAck, kAck},
       {StartPacket(4), commandBytesAsPayload},
       {}},
      {"a start of length 2 is refused, the next start is taken",
       {ProgramPacket({0x05, 0x06}), StartPacket(7)},
       {kAck},
       {ProgramPacket({0x05, 0x06}), StartPacket(7)},
       {"start packet carries 2 bytes, needs 1; not acknowledged"}},
      {"a start of length 0 is refused",
       {ProgramPacket({})},
       {},
       {ProgramPacket({})},
       {"start packet carries 0 bytes, needs 1; not acknowledged"}},
      {"a block of the wrong length is taken with a note",
       {StartPacket(4), ProgramPacket({1, 2, 3})},
       {kAck, kAck},
       {StartPacket(4), ProgramPacket({1, 2, 3})},
       {"block 1 carries 3 bytes, the block size is 4"}},
      {"an identify opens a new run, whose blocks count from 1 again",
       {StartPacket(4),
        ProgramPacket({1, 2, 3}),
        {kIdentify},
        StartPacket(4),
        ProgramPacket({1, 2, 3})},
       {kAck, kAck, Now(identifyReply), kAck, kAck},
       {StartPacket(4),
        ProgramPacket({1, 2, 3}),
        {kIdentify},
        StartPacket(4),
        ProgramPacket({1, 2, 3})},
       {"block 1 carries 3 bytes, the block size is 4",
        "block 1 carries 3 bytes, the block size is 4"}},
      {"the largest packet is framed",
       {StartPacket(4), largest},
       {kAck, kAck},
       {StartPacket(4), largest},
       {"block 1 carries 1021 bytes, the block size is 4"}},
      {"an oversize packet is dropped with the bytes it announces",
       {oversize, {kIdentify}},
       {Now(identifyReply)},
       {{kIdentify}},
       {"program packet announces 1022 bytes, at most 1021 fit; dropped"}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    DeviceModel model(config);
    const std::vector<Response> responses = Feed(model, c.steps, 300ms);
    EXPECT_EQ(Describe(AllReplies(responses, 0)), Describe(c.replies));
    EXPECT_EQ(model.Packets(), c.packets);
    EXPECT_EQ(model.ProtocolViolations(), c.violations);
    EXPECT_TRUE(model.TimingViolations().empty());
  }
}

}  // namespace
}  // namespace lumaflash::sim
