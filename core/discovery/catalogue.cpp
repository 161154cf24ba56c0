#include "core/discovery/catalogue.h"

#include <array>
#include <cstdio>
#include <utility>

namespace lumaflash::discovery {

namespace {

struct CatalogueEntry {
  uint16_t deviceId;
  const char* name;
};

constexpr std::array kCatalogue{
    CatalogueEntry{0x0351, "Quillon Alpha"},   CatalogueEntry{0x0432, "Quillon Beta"},
    CatalogueEntry{0x0481, "Aerol Gamma Pro"}, CatalogueEntry{0x0795, "Quillon Delta"},
    CatalogueEntry{0x3514, "Lumetta A"},       CatalogueEntry{0x3409, "Lumetta B"},
    CatalogueEntry{0x3509, "Lumetta BX"},      CatalogueEntry{0x3600, "Tessel One"},
    CatalogueEntry{0x3602, "Tessel Two"},      CatalogueEntry{0x3603, "Tessel Three"},
    CatalogueEntry{0x3611, "Tessel Four"},     CatalogueEntry{0x3618, "Tessel Five"},
    CatalogueEntry{0x3690, "Borella"},         CatalogueEntry{0x3711, "Lumetta C"},
    CatalogueEntry{0x4801, "Aerol Gamma"},     CatalogueEntry{0x0004, "Norrix Q"},
    CatalogueEntry{0x0005, "Norrix P1"},       CatalogueEntry{0x0006, "Norrix N"},
    CatalogueEntry{0x0008, "Norrix P2"},
};

constexpr char kHexDigits[] = "0123456789ABCDEF";

}  // namespace

std::string LookupDeviceName(uint16_t deviceId) {
  for (const CatalogueEntry& entry : kCatalogue) {
    if (entry.deviceId == deviceId) {
      return entry.name;
    }
  }
  return "Unknown device";
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
  std::array<char, 8> text{};
  std::snprintf(text.data(), text.size(), "%04x", unsigned{word});
  return text.data();
}

std::string SerialHex(std::span<const uint8_t> serial) {
  std::string text;
  text.reserve(serial.size() * 2);
  for (uint8_t byte : serial) {
    text.push_back(kHexDigits[byte >> 4]);
    text.push_back(kHexDigits[byte & 0x0F]);
  }
  return text;
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
