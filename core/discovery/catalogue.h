#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "core/protocol/interface_table.h"

namespace lumaflash::discovery {

// One row of the interface list, already formatted the way the list shows it.
struct InterfaceRow {
  std::string device;
  std::string version;
  std::string serial;
  std::string tooltip;  // which port the device is on and the USB device behind it
};

// The display name of a device type, or "Unknown device".
std::string LookupDeviceName(uint16_t deviceId);

// "1.05" for 0x0105, "1A.0C" for 0x1A0C; empty when the minor byte is 100 or more.
std::string FormatFirmwareVersion(uint16_t firmwareVersion);

// Two upper-case hex digits per byte, or "Not available" when there are none.
std::string FormatSerial(std::span<const uint8_t> serial);

// A device type or version word as four lower-case hex digits ("3514", "0105").
std::string WordHex(uint16_t word);

// Upper-case hex digits with nothing in between, or "" when there are none.
std::string SerialHex(std::span<const uint8_t> serial);

// "Port: /dev/ttyACM0\nUSB: 1209:0001, Acme, Dimmer bootloader, serial A1B2", with only what
// the USB device reports; "USB: none" for a port with no USB device behind it.
std::string PortTooltip(const protocol::InterfaceRecord& record);

// The list rows for the used records of a table, in table order.
std::vector<InterfaceRow> InterfaceRows(const protocol::InterfaceTable& table);

// "%d Interfaces found".
std::string FoundLine(std::size_t count);

}  // namespace lumaflash::discovery
