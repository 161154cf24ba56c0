#include "core/discovery/catalogue.h"

#include <array>
#include <cstdio>
#include <utility>

#include "core/platform/hex.h"
#include "core/protocol/device_types.h"

namespace lumaflash::discovery {

std::string LookupDeviceName(uint16_t deviceId) {
  return protocol::DeviceName(deviceId);
}

std::string FormatFirmwareVersion(uint16_t firmwareVersion) {
  const unsigned major = firmwareVersion >> 8;
  const unsigned minor = firmwareVersion & 0xFFu;
  // The bound is decimal although the digits are printed in hex: that is how the versions
  // have always been shown, so 0x0263 reads "2.63".
  if (minor >= 100) {
    return {};
  }
  std::array<char, 16> text{};
  std::snprintf(text.data(), text.size(), "%X.%.2X", major, minor);
  return text.data();
}

std::string WordHex(uint16_t word) {
  return platform::HexWord(word);
}

std::string SerialHex(std::span<const uint8_t> serial) {
  return platform::HexBytes(serial, platform::HexCase::Upper);
}

std::string FormatSerial(std::span<const uint8_t> serial) {
  return serial.empty() ? std::string("Not available") : SerialHex(serial);
}

std::string PortTooltip(const protocol::InterfaceRecord& record) {
  std::string text = "Port: " + record.portPath + "\nUSB: ";
  if (!record.usb) {
    return text + "none";
  }
  const serial::UsbIdentity& usb = *record.usb;
  text += serial::UsbId(usb);
  for (const auto& part : {usb.manufacturer, usb.product}) {
    if (part && !part->empty()) {
      text += ", " + *part;
    }
  }
  if (usb.serial && !usb.serial->empty()) {
    text += ", serial " + *usb.serial;
  }
  return text;
}

std::vector<InterfaceRow> InterfaceRows(const protocol::InterfaceTable& table) {
  std::vector<InterfaceRow> rows;
  for (const protocol::InterfaceRecord& record : table.Used()) {
    rows.push_back(InterfaceRow{LookupDeviceName(record.deviceId),
                                FormatFirmwareVersion(record.firmwareVersion),
                                FormatSerial(record.Serial()), PortTooltip(record)});
  }
  return rows;
}

std::string FoundLine(std::size_t count) {
  return std::to_string(count) + " Interfaces found";
}

}  // namespace lumaflash::discovery
