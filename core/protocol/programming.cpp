#include "core/protocol/programming.h"

#include <algorithm>
#include <thread>

namespace lumaflash::protocol {

// The acknowledge must come in this very exchange: a 0xB9 left in the buffer by an earlier
// packet would otherwise let a device that stopped answering pass as updated.
bool Programmer::ExchangeAcknowledged(std::size_t txLength) {
  uint32_t rxLength = 0;
  std::span<const uint8_t> packet(m_tx.data(), txLength);
  if (!m_port.Exchange(packet, std::span<uint8_t>(m_rx.data(), 1), rxLength, kPacketTimeoutMs)) {
    return false;
  }
  return rxLength == 1 && m_rx[0] == kAcknowledge;
}

bool Programmer::SendStart(const InterfaceRecord* record, uint32_t imageLength) {
  if (record == nullptr) {
    return false;
  }
  m_tx[0] = kProgram;
  m_tx[1] = 0x00;
  m_tx[2] = 0x01;
  m_tx[3] = static_cast<uint8_t>(imageLength & 0xFF);
  if (!ExchangeAcknowledged(4)) {
    return false;
  }
  std::this_thread::sleep_for(kStartPause);
  return true;
}

bool Programmer::SendBlock(const InterfaceRecord* record, std::span<const uint8_t> data) {
  if (record == nullptr || !record->HasUsableBlockSize() || data.size() < record->blockSize) {
    return false;
  }
  const uint16_t size = record->blockSize;
  m_tx[0] = kProgram;
  m_tx[1] = static_cast<uint8_t>(size >> 8);
  m_tx[2] = static_cast<uint8_t>(size & 0xFF);
  std::copy_n(data.begin(), size, m_tx.begin() + 3);
  if (!ExchangeAcknowledged(std::size_t{size} + 3)) {
    return false;
  }
  std::this_thread::sleep_for(BlockPause(record->deviceId));
  return true;
}

void Programmer::SendRun() {
  m_tx[0] = kRun;
  uint32_t rxLength = 0;
  (void)m_port.Exchange(std::span<const uint8_t>(m_tx.data(), 1),
                        std::span<uint8_t>(m_rx.data(), 1), rxLength, kPacketTimeoutMs);
}

}  // namespace lumaflash::protocol
