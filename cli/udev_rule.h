#pragma once

#include <string>
#include <vector>

#include "core/serial/usb_identity.h"

namespace lumaflash::cli {

// Where --install puts the rules: early enough (before 73-seat-late.rules) for the uaccess tag
// to take effect.
inline constexpr const char* kUdevRulesFile = "etc/udev/rules.d/70-lumaflash.rules";

// The rules file for these USB ids: per id, ModemManager is told to leave the device alone and
// the seated user gets access to its serial port.
std::string UdevRules(const std::vector<serial::UsbMatch>& ids);

// "1209:0001", or "1209:" for any product of the vendor.
std::string UsbMatchText(const serial::UsbMatch& id);

// Writes the rules under the device root, reloads udev and triggers the ports of these ids,
// telling each step on standard output. The exit code.
int InstallUdevRules(const std::vector<serial::UsbMatch>& ids);

}  // namespace lumaflash::cli
