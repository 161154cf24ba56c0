#include "core/serial/usb_identity.h"

#include <algorithm>
#include <cctype>
#include <charconv>

namespace lumaflash::serial {

namespace {

std::optional<uint16_t> ParseHexWord(std::string_view text) {
  unsigned value = 0;
  if (text.empty() || text.size() > 4) {
    return std::nullopt;
  }
  const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value, 16);
  if (error != std::errc{} || end != text.data() + text.size()) {
    return std::nullopt;
  }
  return static_cast<uint16_t>(value);
}

std::string Lower(std::string_view text) {
  std::string lower(text);
  std::transform(lower.begin(), lower.end(), lower.begin(),
                 [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
  return lower;
}

bool StartsWithNoCase(std::string_view text, std::string_view prefix) {
  return text.size() >= prefix.size() && Lower(text.substr(0, prefix.size())) == Lower(prefix);
}

// The `length` hex digits after `key` in one of the parts of a Windows id, e.g. VID_1209.
std::optional<std::string_view> IdField(std::string_view part, std::string_view key,
                                        std::size_t length) {
  if (!StartsWithNoCase(part, key) || part.size() < key.size() + length) {
    return std::nullopt;
  }
  std::string_view digits = part.substr(key.size(), length);
  if (!std::all_of(digits.begin(), digits.end(),
                   [](unsigned char c) { return std::isxdigit(c) != 0; })) {
    return std::nullopt;
  }
  return digits;
}

std::vector<std::string_view> Split(std::string_view text, std::string_view separators) {
  std::vector<std::string_view> parts;
  std::size_t start = 0;
  while (start <= text.size()) {
    const std::size_t end = std::min(text.find_first_of(separators, start), text.size());
    parts.push_back(text.substr(start, end - start));
    start = end + 1;
  }
  return parts;
}

}  // namespace

std::string UsbId(const UsbIdentity& usb) {
  return usb.vid + ":" + usb.pid;
}

std::optional<UsbMatch> ParseUsbMatch(std::string_view text) {
  const std::size_t colon = text.find(':');
  if (colon == std::string_view::npos) {
    return std::nullopt;
  }
  const auto vid = ParseHexWord(text.substr(0, colon));
  if (!vid) {
    return std::nullopt;
  }
  const std::string_view product = text.substr(colon + 1);
  if (product.empty()) {
    return UsbMatch{*vid, std::nullopt};
  }
  const auto pid = ParseHexWord(product);
  if (!pid) {
    return std::nullopt;
  }
  return UsbMatch{*vid, pid};
}

Expected<UsbMatch, platform::UsageError> UsbOptionValue(std::string_view text) {
  if (auto match = ParseUsbMatch(text)) {
    return *match;
  }
  return MakeUnexpected(platform::UsageError{
      "--usb takes a USB vendor and product id in hexadecimal, VID:PID (e.g. 1209:0001), or VID: "
      "for any product of the vendor; \"" +
      std::string(text) + "\" is not one"});
}

bool PassesUsbFilter(const std::vector<UsbMatch>& filter, const std::optional<UsbIdentity>& usb) {
  if (filter.empty()) {
    return true;
  }
  if (!usb) {
    return false;
  }
  const auto vid = ParseHexWord(usb->vid);
  const auto pid = ParseHexWord(usb->pid);
  return std::any_of(filter.begin(), filter.end(), [&](const UsbMatch& match) {
    return vid == match.vid && (!match.pid || pid == match.pid);
  });
}

std::optional<UsbDeviceId> ParseUsbDeviceId(std::string_view id) {
  // Enumerator, device part, instance part: USB\VID_1209&PID_0001&MI_02\6&2A3B&0&0002. Vendor
  // drivers with their own enumerator write FTDIBUS\VID_0403+PID_6001+A50285BI\0000.
  const std::vector<std::string_view> levels = Split(id, "\\");
  if (levels.size() < 2) {
    return std::nullopt;
  }
  UsbDeviceId parsed;
  for (std::string_view part : Split(levels[1], "&+")) {
    if (auto vid = IdField(part, "VID_", 4)) {
      parsed.vid = Lower(*vid);
    } else if (auto pid = IdField(part, "PID_", 4)) {
      parsed.pid = Lower(*pid);
    } else if (auto function = IdField(part, "MI_", 2)) {
      parsed.interfaceNumber = ParseHexWord(*function);
    }
  }
  if (parsed.vid.empty() || parsed.pid.empty()) {
    return std::nullopt;
  }
  // Windows makes up an instance part with '&' in it for a device without a serial number and
  // for each function of a composite device; otherwise the part is the device's own serial.
  if (StartsWithNoCase(levels[0], "USB") && levels.size() == 3 && !levels[2].empty() &&
      levels[2].find('&') == std::string_view::npos && !parsed.interfaceNumber) {
    parsed.serial = std::string(levels[2]);
  }
  return parsed;
}

}  // namespace lumaflash::serial
