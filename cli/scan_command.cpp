#include <cstdio>
#include <stop_token>
#include <string>

#include "cli/commands.h"
#include "cli/exit_codes.h"
#include "cli/json.h"
#include "core/discovery/catalogue.h"
#include "core/discovery/scan.h"
#include "core/platform/stop_signals.h"
#include "core/session/find_interfaces.h"
#include "core/session/session.h"

namespace lumaflash::cli {

Json UsbJson(const std::optional<serial::UsbIdentity>& usb) {
  if (!usb) {
    return nullptr;
  }
  return {{"vid", usb->vid},
          {"pid", usb->pid},
          {"manufacturer", OrNull(usb->manufacturer)},
          {"product", OrNull(usb->product)},
          {"serial", OrNull(usb->serial)},
          {"interface", usb->interfaceNumber ? Json(*usb->interfaceNumber) : Json(nullptr)}};
}

std::string UsbColumn(const std::optional<serial::UsbIdentity>& usb) {
  return usb ? serial::UsbId(*usb) : "-";
}

void PrintInterfaceTable(std::FILE* out, const protocol::InterfaceTable& table) {
  std::fprintf(out, "%-20s %-9s %-20s %-8s %-22s %-10s %s\n", "PORT", "USB", "DEVICE", "VERSION",
               "SERIAL", "BOOTLOADER", "BLOCK");
  for (const protocol::InterfaceRecord& record : table.Used()) {
    std::fprintf(out, "%-20s %-9s %-20s %-8s %-22s %-10s %u\n", record.portPath.c_str(),
                 UsbColumn(record.usb).c_str(),
                 discovery::LookupDeviceName(record.deviceId).c_str(),
                 discovery::FormatFirmwareVersion(record.firmwareVersion).c_str(),
                 discovery::FormatSerial(record.Serial()).c_str(),
                 discovery::WordHex(record.bootloaderVersion).c_str(), unsigned{record.blockSize});
  }
}

std::string InterfacesJson(const protocol::InterfaceTable& table) {
  Json interfaces = Json::array();
  for (const protocol::InterfaceRecord& record : table.Used()) {
    interfaces.push_back(
        {{"port", record.portPath},
         {"portNumber", record.portNumber},
         {"deviceId", discovery::WordHex(record.deviceId)},
         {"bootloaderVersion", discovery::WordHex(record.bootloaderVersion)},
         {"firmwareVersion", discovery::WordHex(record.firmwareVersion)},
         {"infoTag", discovery::WordHex(record.infoTag)},
         {"blockSize", record.blockSize},
         {"serial",
          record.serialLength > 0 ? Json(discovery::SerialHex(record.Serial())) : Json(nullptr)},
         {"usb", UsbJson(record.usb)}});
  }
  return DumpJson(interfaces);
}

void ReportPortFailures(const std::vector<serial::PortFailure>& failures) {
  for (const serial::PortFailure& failure : failures) {
    std::fprintf(stderr, "lumaflash-cli: %s\n", serial::DescribePortFailure(failure).c_str());
  }
}

int RunScan(const Options& options) {
  session::Feedback quiet;
  session::Session session(quiet);
  session.namedPorts = options.ports;
  session.usbFilter = options.usb;
  session.recallLastImage = false;
  {
    // Ctrl+C lets the probes that run end in order, so that every port gets its line settings
    // back, instead of leaving them raw at our speed.
    std::stop_source stop;
    const platform::StopSignals stopSignals(stop);
    ReportPortFailures(session::ScanInterfaces(session));
    if (stop.stop_requested()) {
      std::fprintf(stderr,
                   "lumaflash-cli: scan interrupted; every port it opened is closed again with "
                   "its line settings restored.\n");
      return kExitInterrupted;
    }
  }
  if (options.json) {
    std::printf("%s\n", InterfacesJson(session.interfaces).c_str());
    // Standard output carries only JSON; the log the operator asked for goes beside it.
    if (options.trace) {
      std::fputs(session.scanLog.c_str(), stderr);
    }
    return kExitOk;
  }
  PrintInterfaceTable(stdout, session.interfaces);
  std::printf("%s\n", discovery::FoundLine(session.interfaces.Count()).c_str());
  if (options.trace) {
    std::fputs(session.scanLog.c_str(), stdout);
  }
  return kExitOk;
}

}  // namespace lumaflash::cli
