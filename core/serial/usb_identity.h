#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "core/platform/command_line.h"
#include "core/platform/expected.h"

namespace lumaflash::serial {

// The USB device behind a serial port, as the operating system knows it. Strings are exactly as
// the device reported them; a string the device does not report is absent.
struct UsbIdentity {
  std::string vid;  // four lower-case hex digits
  std::string pid;
  std::optional<std::string> manufacturer;
  std::optional<std::string> product;
  std::optional<std::string> serial;
  std::optional<int> interfaceNumber;

  bool operator==(const UsbIdentity&) const = default;
};

// "1209:0001".
std::string UsbId(const UsbIdentity& usb);

// One --usb value: a vendor, and a product unless any product of the vendor will do.
struct UsbMatch {
  uint16_t vid = 0;
  std::optional<uint16_t> pid;
};

// "1209:0001" or "1209:" (one to four hex digits each, either case); nothing when malformed.
std::optional<UsbMatch> ParseUsbMatch(std::string_view text);

// The value of a --usb option, or the usage error that says what one looks like.
Expected<UsbMatch, platform::UsageError> UsbOptionValue(std::string_view text);

// How --usb is described in every program's help.
inline constexpr std::string_view kUsbOptionHelp =
    "open only ports of this USB device (hexadecimal vendor and product id; VID: for any "
    "product of the vendor; repeatable)";

// Whether a port with this identity passes the filter: an empty filter passes every port, a
// port with no USB identity passes none other.
bool PassesUsbFilter(const std::vector<UsbMatch>& filter, const std::optional<UsbIdentity>& usb);

// What a Windows device or hardware id tells about a USB device:
// "USB\VID_1209&PID_0001&MI_02\6&2A3B&0&0002" or "USB\VID_1209&PID_0001\A1B2C3".
struct UsbDeviceId {
  std::string vid;  // four lower-case hex digits
  std::string pid;
  std::optional<int> interfaceNumber;  // MI_xx of one function of a composite device
  std::optional<std::string> serial;   // the last part of an instance id, unless Windows made it up

  bool operator==(const UsbDeviceId&) const = default;
};

// Nothing when `id` names no USB device with vendor and product.
std::optional<UsbDeviceId> ParseUsbDeviceId(std::string_view id);

}  // namespace lumaflash::serial
