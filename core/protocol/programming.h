#pragma once

#include <array>
#include <chrono>
#include <cstdint>
#include <span>

#include "core/platform/expected.h"
#include "core/protocol/device_types.h"
#include "core/protocol/interface_table.h"
#include "core/serial/port.h"

namespace lumaflash::protocol {

inline constexpr uint8_t kProgram = 0xB1;
inline constexpr uint8_t kRun = 0xB7;
inline constexpr uint8_t kAcknowledge = 0xB9;
inline constexpr int32_t kPacketTimeoutMs = 50;
inline constexpr std::chrono::milliseconds kStartPause{100};
inline constexpr std::size_t kPacketBufferSize = 1024;

// Which packet of an update was not acknowledged, and why when the port failed under it.
struct ProgrammingError {
  enum class Step { Start, Block };
  Step step = Step::Start;
  // PortError::None when the device answered wrongly or not at all, or when the packet was
  // refused before a byte went out (no record, a block size that cannot be sent, short data).
  serial::PortFailure port;
};

// Builds and sends the programming packets over an open port. Each packet must be acknowledged
// within its own exchange: a byte left over from an earlier reply never counts.
class Programmer {
 public:
  explicit Programmer(serial::PortLink& port) : m_port(port) {}

  // Start packet: B1 00 01 <low 8 bits of imageLength>; waits 100 ms after the acknowledge.
  Expected<void, ProgrammingError> SendStart(const InterfaceRecord* record, uint32_t imageLength);

  // Block packet: B1, blockSize big-endian, then exactly record->blockSize bytes of `data`
  // (which must hold that many); pauses for the device type after the acknowledge.
  Expected<void, ProgrammingError> SendBlock(const InterfaceRecord* record,
                                             std::span<const uint8_t> data);

  // Run packet: B7. The answer, if any, is not examined.
  void SendRun();

 private:
  Expected<void, ProgrammingError> ExchangeAcknowledged(ProgrammingError::Step step,
                                                        std::size_t txLength);

  serial::PortLink& m_port;
  std::array<uint8_t, kPacketBufferSize> m_tx{};
  std::array<uint8_t, kPacketBufferSize> m_rx{};
};

}  // namespace lumaflash::protocol
