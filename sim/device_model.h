#pragma once

#include <array>
#include <chrono>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

namespace lumaflash::sim {

using Clock = std::chrono::steady_clock;

// What a simulated bootloader can be told to do wrong.
enum class Fault : uint8_t {
  None,
  Silent,     // answers nothing
  WrongAck,   // answers 0xB8 instead of the acknowledge (identify: 7 bytes of garbage)
  LateAck,    // answers correctly, but kLateDelay after the packet (past the host's time-out)
  DoubleAck,  // answers twice, in one write
  Short,      // identify only: the first 5 bytes of the reply
  Overlong,   // identify only: the reply padded to kOverlongReplySize bytes
  Vanish,     // the device goes away (its port hangs up) instead of answering
};

enum class PacketKind : uint8_t { Identify, Start, Block, Run };

// A fault applies to the packets of one kind: the `index`-th of that kind (0-based, counted
// since the device was created), or every one of them when `index` is negative.
struct FaultPlan {
  Fault fault = Fault::None;
  PacketKind on = PacketKind::Identify;
  int index = -1;
};

// Far past the host's 50 ms, so that a host kept from running for a while on a loaded machine
// still sees the answer as late.
inline constexpr std::chrono::milliseconds kLateDelay{400};
inline constexpr std::size_t kOverlongReplySize = 1100;

// The identity of a simulated device. The identify reply carries the fields the layout of its
// bootloader version and device type has room for.
// Kept out of the member initialiser below: gcc 12 at -O2 reads an initializer_list there as
// possibly uninitialised (-Wmaybe-uninitialized).
inline constexpr std::array<uint8_t, 4> kDefaultSerial{0x12, 0x34, 0x56, 0x78};

struct DeviceConfig {
  uint16_t bootloaderVersion = 0x0100;
  uint16_t firmwareVersion = 0x0105;
  uint16_t deviceId = 0x3514;
  uint16_t infoTag = 0x2118;  // only sent by bootloader 0x0101
  uint16_t blockSize = 512;
  std::vector<uint8_t> serial{kDefaultSerial.begin(), kDefaultSerial.end()};
  bool stayInBootloader = false;  // after the run packet; otherwise it answers nothing more
};

// An answer the device sends `delay` after the packet that caused it came in.
struct Reply {
  std::vector<uint8_t> bytes;
  Clock::duration delay{};
};

struct Response {
  std::vector<Reply> replies;
  bool vanish = false;  // the host side should hang up the port now
};

// The identify reply a device with this identity sends, laid out for its bootloader and type.
std::vector<uint8_t> EncodeIdentifyReply(const DeviceConfig& config);

// The pause this device type needs after it acknowledged a block.
std::chrono::milliseconds RequiredPause(uint16_t deviceId);

// A bootloader's protocol state machine with no I/O: bytes in, answers out. It frames packets
// from bytes that may come in any fragments, keeps everything it received so that a test can
// compare it byte for byte, and notes each block that came sooner than the pause its type needs
// after the acknowledge before it (after the start packet: 100 ms).
class DeviceModel {
 public:
  explicit DeviceModel(DeviceConfig config, std::vector<FaultPlan> faults = {});

  // Takes bytes from the host that arrived at `now`; answers every packet they complete.
  Response Receive(std::span<const uint8_t> bytes, Clock::time_point now);

  const DeviceConfig& Config() const { return m_config; }
  bool InBootloader() const { return m_inBootloader; }
  bool Vanished() const { return m_vanished; }

  // Every complete packet in arrival order, as the host sent it.
  const std::vector<std::vector<uint8_t>>& Packets() const { return m_packets; }
  // The last byte of the last start packet, if one came.
  std::optional<uint8_t> StartLengthByte() const { return m_startLengthByte; }
  // The payloads of the blocks since the last start packet, concatenated.
  const std::vector<uint8_t>& Image() const { return m_image; }
  int BlockCount() const { return m_blockCount; }
  bool RunReceived() const { return m_runReceived; }
  // One line per block that came too early, e.g. "block 3 came 4 ms after the acknowledge,
  // needs 10 ms". Blocks count from 1 at the block after the start packet, refused ones too.
  const std::vector<std::string>& TimingViolations() const { return m_timingViolations; }
  // For each block that followed an acknowledge, the time from that acknowledge to the block,
  // in arrival order; the first block of an update follows the start packet's acknowledge.
  const std::vector<Clock::duration>& BlockGaps() const { return m_blockGaps; }
  // One line per packet no valid host sends: a start packet whose length is not 1 (refused, no
  // answer), a block whose length is not the block size (still taken), a program packet that
  // announces more than 1021 bytes (dropped together with the bytes it announces).
  const std::vector<std::string>& ProtocolViolations() const { return m_protocolViolations; }
  // Bytes between packets that start no command: a real bootloader skips them, but a host that
  // sends any (text printed into the port, say) is at fault.
  std::size_t StrayBytes() const { return m_strayBytes; }

 private:
  void TakeByte(uint8_t byte, Clock::time_point now, Response& response);
  void TakeCommandByte(uint8_t byte, Clock::time_point now, Response& response);
  void DropOversizePacket(std::size_t length);
  void HandleIdentify(Clock::time_point now, Response& response);
  void HandleProgramPacket(const std::vector<uint8_t>& packet, Clock::time_point now,
                           Response& response);
  void HandleStart(const std::vector<uint8_t>& packet, Clock::time_point now, Response& response);
  void HandleBlock(const std::vector<uint8_t>& packet, Clock::time_point now, Response& response);
  void HandleRun(Clock::time_point now, Response& response);
  Fault Admit(const std::vector<uint8_t>& packet, PacketKind kind);
  Fault PlannedFault(PacketKind kind, int ordinal) const;
  std::optional<Clock::time_point> Answer(Fault fault, PacketKind kind, std::vector<uint8_t> reply,
                                          Clock::time_point now, Response& response);
  void CheckBlockTiming(Clock::time_point now);
  void CheckBlockLength(std::size_t payloadLength);
  void NoteAcknowledge(Clock::time_point sentAt, Clock::duration pauseNeeded);

  // (members are the implementation's)
  DeviceConfig m_config;
  std::vector<FaultPlan> m_faults;
  bool m_inBootloader = true;
  bool m_vanished = false;
  std::vector<std::vector<uint8_t>> m_packets;
  std::optional<uint8_t> m_startLengthByte;
  std::vector<uint8_t> m_image;
  int m_blockCount = 0;
  bool m_runReceived = false;
  std::vector<std::string> m_timingViolations;
  std::vector<Clock::duration> m_blockGaps;
  std::vector<std::string> m_protocolViolations;
  std::size_t m_strayBytes = 0;

  std::vector<uint8_t> m_pending;     // the program packet being framed, from its 0xB1 on
  std::size_t m_bytesToDrop = 0;      // what is left of an oversize packet's announced payload
  bool m_awaitingStart = true;        // the next program packet is a start packet
  std::array<int, 4> m_kindCounts{};  // packets of each PacketKind since creation
  int m_blocksInRun = 0;              // block packets since the last start, accepted or not
  std::optional<Clock::time_point> m_lastAckSentAt;
  Clock::duration m_pauseAfterLastAck{};
};

}  // namespace lumaflash::sim
