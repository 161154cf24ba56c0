#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>

#include "core/serial/usb_identity.h"

namespace lumaflash::protocol {

inline constexpr std::size_t kMaxSerialLength = 33;
inline constexpr std::size_t kInterfaceTableSize = 99;
inline constexpr uint16_t kDefaultBlockSize = 512;
// The transmit buffer holds 1024 bytes, three of them the block header.
inline constexpr uint16_t kMaxBlockSize = 1021;

// One device found in bootloader mode.
struct InterfaceRecord {
  uint16_t bootloaderVersion = 0;  // 0 marks an unused record and ends the table
  uint16_t firmwareVersion = 0;    // high byte major, low byte minor
  uint16_t deviceId = 0;
  uint16_t infoTag = 0;
  uint16_t blockSize = kDefaultBlockSize;
  uint8_t serialLength = 0;
  std::array<uint8_t, kMaxSerialLength> serial{};
  int32_t portNumber = 0;
  std::string portPath;                    // the device path the reply came on
  std::optional<serial::UsbIdentity> usb;  // the USB device behind that port, if known

  std::span<const uint8_t> Serial() const { return {serial.data(), serialLength}; }
  bool HasUsableBlockSize() const { return blockSize != 0 && blockSize <= kMaxBlockSize; }
};

// The 99 records of one scan, in the order the scan found them. The table ends at the first
// record whose bootloaderVersion is 0.
class InterfaceTable {
 public:
  // Marks every record unused.
  void Clear();
  std::size_t Count() const;
  InterfaceRecord& operator[](std::size_t i) { return m_records[i]; }
  const InterfaceRecord& operator[](std::size_t i) const { return m_records[i]; }
  std::span<const InterfaceRecord> Used() const { return {m_records.data(), Count()}; }

 private:
  std::array<InterfaceRecord, kInterfaceTableSize> m_records{};
};

}  // namespace lumaflash::protocol
