#include "core/protocol/programming.h"

#include <algorithm>
#include <thread>

namespace lumaflash::protocol {

namespace {

Unexpected<ProgrammingError> Refused(ProgrammingError::Step step) {
  return MakeUnexpected(ProgrammingError{step, {}});
}

}  // namespace

// The acknowledge must come in this very exchange: a 0xB9 left in the buffer by an earlier
// packet would otherwise let a device that stopped answering pass as updated.
Expected<void, ProgrammingError> Programmer::ExchangeAcknowledged(ProgrammingError::Step step,
                                                                  std::size_t txLength) {
  std::span<const uint8_t> packet(m_tx.data(), txLength);
  const auto received =
      m_port.Exchange(packet, std::span<uint8_t>(m_rx.data(), 1), kPacketTimeoutMs);
  if (!received) {
    return MakeUnexpected(ProgrammingError{step, received.error()});
  }
  if (*received != 1 || m_rx[0] != kAcknowledge) {
    return Refused(step);
  }
  return {};
}

Expected<void, ProgrammingError> Programmer::SendStart(const InterfaceRecord* record,
                                                       uint32_t imageLength) {
  using Step = ProgrammingError::Step;
  if (record == nullptr) {
    return Refused(Step::Start);
  }
  m_tx[0] = kProgram;
  m_tx[1] = 0x00;
  m_tx[2] = 0x01;
  m_tx[3] = static_cast<uint8_t>(imageLength & 0xFF);
  if (auto acknowledged = ExchangeAcknowledged(Step::Start, 4); !acknowledged) {
    return acknowledged;
  }
  std::this_thread::sleep_for(kStartPause);
  return {};
}

Expected<void, ProgrammingError> Programmer::SendBlock(const InterfaceRecord* record,
                                                       std::span<const uint8_t> data) {
  using Step = ProgrammingError::Step;
  if (record == nullptr || !record->HasUsableBlockSize() || data.size() < record->blockSize) {
    return Refused(Step::Block);
  }
  const uint16_t size = record->blockSize;
  m_tx[0] = kProgram;
  m_tx[1] = static_cast<uint8_t>(size >> 8);
  m_tx[2] = static_cast<uint8_t>(size & 0xFF);
  std::copy_n(data.begin(), size, m_tx.begin() + 3);
  if (auto acknowledged = ExchangeAcknowledged(Step::Block, std::size_t{size} + 3); !acknowledged) {
    return acknowledged;
  }
  std::this_thread::sleep_for(BlockPause(record->deviceId));
  return {};
}

void Programmer::SendRun() {
  m_tx[0] = kRun;
  (void)m_port.Exchange(std::span<const uint8_t>(m_tx.data(), 1),
                        std::span<uint8_t>(m_rx.data(), 1), kPacketTimeoutMs);
}

}  // namespace lumaflash::protocol
