#include "sim/device_model.h"

#include <algorithm>
#include <utility>

namespace lumaflash::sim {

namespace {

constexpr uint8_t kIdentifyCommand = 0xB0;
constexpr uint8_t kProgramCommand = 0xB1;
constexpr uint8_t kRunCommand = 0xB7;
constexpr uint8_t kAcknowledge = 0xB9;
constexpr uint8_t kRefusal = 0xB8;

constexpr std::size_t kProgramHeaderSize = 3;  // 0xB1, length high byte, length low byte
constexpr std::size_t kMaxProgramLength = 1021;
constexpr std::size_t kStartPayloadLength = 1;
constexpr std::chrono::milliseconds kPauseAfterStart{100};

constexpr uint16_t kExtendedBootloader = 0x0101;
constexpr uint16_t kSerialInfoTag = 0x2118;
constexpr std::size_t kFixedSerialSize = 6;
constexpr std::size_t kMaxPrefixedSerialSize = 255;  // the length field is one byte
constexpr std::size_t kShortReplySize = 5;
// All zeros, so the bootloader version reads as 0: no host can take it for a device.
constexpr std::size_t kGarbageReplySize = 7;

// The simulated device keeps its own knowledge of the device types (reply layouts here, block
// pauses in RequiredPause) on purpose: written apart from the program's table, it checks that
// table instead of agreeing with whatever it says.
bool HasFixedSerial(uint16_t deviceId) {
  return deviceId == 0x4801 || deviceId == 0x0481;
}

bool HasPrefixedSerial(uint16_t deviceId) {
  return deviceId == 0x0795 || deviceId == 0x3514 || deviceId == 0x3690 || deviceId == 0x3711;
}

void AppendLittleEndian(std::vector<uint8_t>& out, uint16_t value) {
  out.push_back(static_cast<uint8_t>(value & 0xFF));
  out.push_back(static_cast<uint8_t>(value >> 8));
}

void AppendPrefixedSerial(std::vector<uint8_t>& out, const std::vector<uint8_t>& serial) {
  const std::size_t length = std::min(serial.size(), kMaxPrefixedSerialSize);
  out.push_back(static_cast<uint8_t>(length));
  out.insert(out.end(), serial.begin(), serial.begin() + static_cast<std::ptrdiff_t>(length));
}

void AppendFixedSerial(std::vector<uint8_t>& out, const std::vector<uint8_t>& serial) {
  std::array<uint8_t, kFixedSerialSize> fixed{};
  std::copy_n(serial.begin(), std::min(serial.size(), fixed.size()), fixed.begin());
  out.insert(out.end(), fixed.begin(), fixed.end());
}

std::size_t AnnouncedLength(const std::vector<uint8_t>& header) {
  return static_cast<std::size_t>(header[1]) << 8 | header[2];
}

std::string Milliseconds(Clock::duration duration) {
  return std::to_string(std::chrono::duration_cast<std::chrono::milliseconds>(duration).count()) +
         " ms";
}

// The answers a packet gets when `fault` bends its correct `reply`. Short and Overlong only
// make sense for the identify reply; the one-byte acknowledge goes out unchanged under them.
std::vector<Reply> BentReplies(Fault fault, PacketKind kind, std::vector<uint8_t> reply) {
  const bool identify = kind == PacketKind::Identify;
  switch (fault) {
    case Fault::Silent:
    case Fault::Vanish:
      return {};
    case Fault::WrongAck:
      if (identify) {
        return {Reply{std::vector<uint8_t>(kGarbageReplySize, 0x00)}};
      }
      return {Reply{{kRefusal}}};
    case Fault::LateAck:
      return {Reply{std::move(reply), kLateDelay}};
    case Fault::DoubleAck: {
      // Both copies in one write: when the host has read the first, the second already waits.
      std::vector<uint8_t> twice = reply;
      twice.insert(twice.end(), reply.begin(), reply.end());
      return {Reply{std::move(twice)}};
    }
    case Fault::Short:
      if (identify) {
        reply.resize(kShortReplySize);
      }
      return {Reply{std::move(reply)}};
    case Fault::Overlong:
      if (identify) {
        reply.resize(kOverlongReplySize, 0x00);
      }
      return {Reply{std::move(reply)}};
    case Fault::None:
      break;
  }
  return {Reply{std::move(reply)}};
}

// A packet the device did not acknowledge is one it did not take: a refused block is not part
// of the image, a refused run leaves the device in its bootloader.
bool Accepts(Fault fault) {
  return fault != Fault::Silent && fault != Fault::WrongAck && fault != Fault::Vanish;
}

}  // namespace

std::vector<uint8_t> EncodeIdentifyReply(const DeviceConfig& config) {
  std::vector<uint8_t> reply;
  AppendLittleEndian(reply, config.bootloaderVersion);
  AppendLittleEndian(reply, config.firmwareVersion);
  AppendLittleEndian(reply, config.deviceId);
  if (config.bootloaderVersion == kExtendedBootloader) {
    AppendLittleEndian(reply, config.infoTag);
    if (config.infoTag == kSerialInfoTag) {
      AppendLittleEndian(reply, config.blockSize);
      AppendPrefixedSerial(reply, config.serial);
    }
  } else if (HasFixedSerial(config.deviceId)) {
    AppendLittleEndian(reply, config.blockSize);
    AppendFixedSerial(reply, config.serial);
  } else if (HasPrefixedSerial(config.deviceId)) {
    AppendLittleEndian(reply, config.blockSize);
    AppendPrefixedSerial(reply, config.serial);
  }
  return reply;
}

std::chrono::milliseconds RequiredPause(uint16_t deviceId) {
  using std::chrono::milliseconds;
  switch (deviceId) {
    case 0x3603:
    case 0x0795:
    case 0x3690:
    case 0x3514:
    case 0x3711:
      return milliseconds{10};
    case 0x3611:
      return milliseconds{5};
    case 0x0008:
      return milliseconds{20};
    default:
      return milliseconds{100};
  }
}

DeviceModel::DeviceModel(DeviceConfig config, std::vector<FaultPlan> faults)
    : m_config(std::move(config)), m_faults(std::move(faults)) {}

Response DeviceModel::Receive(std::span<const uint8_t> bytes, Clock::time_point now) {
  Response response;
  for (const uint8_t byte : bytes) {
    // Once gone or running its application, the device hears nothing, not even the rest of
    // this chunk.
    if (m_vanished || !m_inBootloader) {
      break;
    }
    TakeByte(byte, now, response);
  }
  return response;
}

void DeviceModel::TakeByte(uint8_t byte, Clock::time_point now, Response& response) {
  if (m_bytesToDrop > 0) {
    --m_bytesToDrop;
    return;
  }
  if (m_pending.empty()) {
    TakeCommandByte(byte, now, response);
    return;
  }
  m_pending.push_back(byte);
  if (m_pending.size() < kProgramHeaderSize) {
    return;
  }
  const std::size_t length = AnnouncedLength(m_pending);
  if (length > kMaxProgramLength) {
    DropOversizePacket(length);
    return;
  }
  if (m_pending.size() == kProgramHeaderSize + length) {
    const std::vector<uint8_t> packet = std::exchange(m_pending, {});
    HandleProgramPacket(packet, now, response);
  }
}

void DeviceModel::TakeCommandByte(uint8_t byte, Clock::time_point now, Response& response) {
  switch (byte) {
    case kIdentifyCommand:
      HandleIdentify(now, response);
      break;
    case kRunCommand:
      HandleRun(now, response);
      break;
    case kProgramCommand:
      m_pending.push_back(byte);
      break;
    default:
      // A stray byte between packets: the bootloader waits for the next command byte.
      ++m_strayBytes;
      break;
  }
}

void DeviceModel::DropOversizePacket(std::size_t length) {
  m_protocolViolations.push_back("program packet announces " + std::to_string(length) +
                                 " bytes, at most " + std::to_string(kMaxProgramLength) +
                                 " fit; dropped");
  m_pending.clear();
  // Skipping the announced payload keeps the device in step with the host's framing, so that
  // payload bytes are never taken for commands.
  m_bytesToDrop = length;
}

void DeviceModel::HandleIdentify(Clock::time_point now, Response& response) {
  const Fault fault = Admit({kIdentifyCommand}, PacketKind::Identify);
  if (Answer(fault, PacketKind::Identify, EncodeIdentifyReply(m_config), now, response)) {
    m_awaitingStart = true;
  }
}

void DeviceModel::HandleProgramPacket(const std::vector<uint8_t>& packet, Clock::time_point now,
                                      Response& response) {
  if (m_awaitingStart) {
    HandleStart(packet, now, response);
  } else {
    HandleBlock(packet, now, response);
  }
}

void DeviceModel::HandleStart(const std::vector<uint8_t>& packet, Clock::time_point now,
                              Response& response) {
  Fault fault = Admit(packet, PacketKind::Start);
  const std::size_t payloadLength = packet.size() - kProgramHeaderSize;
  if (payloadLength != kStartPayloadLength) {
    m_protocolViolations.push_back("start packet carries " + std::to_string(payloadLength) +
                                   " bytes, needs 1; not acknowledged");
    if (fault != Fault::Vanish) {
      fault = Fault::Silent;
    }
  }
  const auto sentAt = Answer(fault, PacketKind::Start, {kAcknowledge}, now, response);
  if (!sentAt) {
    return;
  }
  m_awaitingStart = false;
  m_startLengthByte = packet.back();
  m_image.clear();
  m_blockCount = 0;
  m_blocksInRun = 0;
  m_runReceived = false;
  NoteAcknowledge(*sentAt, kPauseAfterStart);
}

void DeviceModel::HandleBlock(const std::vector<uint8_t>& packet, Clock::time_point now,
                              Response& response) {
  ++m_blocksInRun;
  CheckBlockTiming(now);
  CheckBlockLength(packet.size() - kProgramHeaderSize);
  const Fault fault = Admit(packet, PacketKind::Block);
  const auto sentAt = Answer(fault, PacketKind::Block, {kAcknowledge}, now, response);
  if (!sentAt) {
    return;
  }
  m_image.insert(m_image.end(), packet.begin() + static_cast<std::ptrdiff_t>(kProgramHeaderSize),
                 packet.end());
  ++m_blockCount;
  NoteAcknowledge(*sentAt, RequiredPause(m_config.deviceId));
}

void DeviceModel::HandleRun(Clock::time_point now, Response& response) {
  const Fault fault = Admit({kRunCommand}, PacketKind::Run);
  if (!Answer(fault, PacketKind::Run, {kAcknowledge}, now, response)) {
    return;
  }
  m_runReceived = true;
  m_awaitingStart = true;
  m_lastAckSentAt.reset();
  if (!m_config.stayInBootloader) {
    m_inBootloader = false;
  }
}

Fault DeviceModel::Admit(const std::vector<uint8_t>& packet, PacketKind kind) {
  m_packets.push_back(packet);
  const int ordinal = m_kindCounts[static_cast<std::size_t>(kind)]++;
  return PlannedFault(kind, ordinal);
}

Fault DeviceModel::PlannedFault(PacketKind kind, int ordinal) const {
  const auto applies = [&](const FaultPlan& plan) {
    return plan.fault != Fault::None && plan.on == kind &&
           (plan.index < 0 || plan.index == ordinal);
  };
  const auto plan = std::find_if(m_faults.begin(), m_faults.end(), applies);
  return plan == m_faults.end() ? Fault::None : plan->fault;
}

std::optional<Clock::time_point> DeviceModel::Answer(Fault fault, PacketKind kind,
                                                     std::vector<uint8_t> reply,
                                                     Clock::time_point now, Response& response) {
  const std::vector<Reply> replies = BentReplies(fault, kind, std::move(reply));
  if (fault == Fault::Vanish) {
    m_vanished = true;
    response.vanish = true;
  }
  response.replies.insert(response.replies.end(), replies.begin(), replies.end());
  if (!Accepts(fault)) {
    return std::nullopt;
  }
  return now + replies.front().delay;
}

void DeviceModel::CheckBlockTiming(Clock::time_point now) {
  if (m_lastAckSentAt) {
    m_blockGaps.push_back(now - *m_lastAckSentAt);
  }
  if (!m_lastAckSentAt || now >= *m_lastAckSentAt + m_pauseAfterLastAck) {
    return;
  }
  const std::string block = "block " + std::to_string(m_blocksInRun);
  const std::string needs = ", needs " + Milliseconds(m_pauseAfterLastAck);
  if (now < *m_lastAckSentAt) {
    m_timingViolations.push_back(block + " came before the acknowledge was sent" + needs);
  } else {
    m_timingViolations.push_back(block + " came " + Milliseconds(now - *m_lastAckSentAt) +
                                 " after the acknowledge" + needs);
  }
}

void DeviceModel::CheckBlockLength(std::size_t payloadLength) {
  if (payloadLength == m_config.blockSize) {
    return;
  }
  m_protocolViolations.push_back("block " + std::to_string(m_blocksInRun) + " carries " +
                                 std::to_string(payloadLength) + " bytes, the block size is " +
                                 std::to_string(m_config.blockSize));
}

void DeviceModel::NoteAcknowledge(Clock::time_point sentAt, Clock::duration pauseNeeded) {
  m_lastAckSentAt = sentAt;
  m_pauseAfterLastAck = pauseNeeded;
}

}  // namespace lumaflash::sim
