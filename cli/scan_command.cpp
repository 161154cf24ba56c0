#include <cstdio>
#include <string>

#include "cli/commands.h"
#include "core/discovery/catalogue.h"
#include "core/discovery/scan.h"
#include "cli/exit_codes.h"
#include "cli/json.h"
#include "core/platform/stop_signals.h"
#include "core/session/session.h"

namespace lumaflash::cli {

namespace {

void AddOptional(JsonObject& object, std::string_view key, const std::optional<std::string>& text) {
  if (text) {
    object.Add(key, *text);
  } else {
    object.AddNull(key);
  }
}

}  // namespace

std::string UsbJson(const std::optional<serial::UsbIdentity>& usb) {
  if (!usb) {
    return "null";
  }
  JsonObject object;
  object.Add("vid", usb->vid).Add("pid", usb->pid);
  AddOptional(object, "manufacturer", usb->manufacturer);
  AddOptional(object, "product", usb->product);
  AddOptional(object, "serial", usb->serial);
  if (usb->interfaceNumber) {
    object.Add("interface", *usb->interfaceNumber);
  } else {
    object.AddNull("interface");
  }
  return object.Text();
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
  std::string json = "[";
  for (const protocol::InterfaceRecord& record : table.Used()) {
    JsonObject object;
    object.Add("port", record.portPath)
        .Add("portNumber", record.portNumber)
        .Add("deviceId", discovery::WordHex(record.deviceId))
        .Add("bootloaderVersion", discovery::WordHex(record.bootloaderVersion))
        .Add("firmwareVersion", discovery::WordHex(record.firmwareVersion))
        .Add("infoTag", discovery::WordHex(record.infoTag))
        .Add("blockSize", record.blockSize);
    if (record.serialLength > 0) {
      object.Add("serial", discovery::SerialHex(record.Serial()));
    } else {
      object.AddNull("serial");
    }
    object.AddRaw("usb", UsbJson(record.usb));
    json += (json.size() > 1 ? "," : "") + object.Text();
  }
  return json + "]";
}

void ReportPortFailures(const std::vector<serial::PortFailure>& failures) {
  for (const serial::PortFailure& failure : failures) {
    std::fprintf(stderr, "lumaflash-cli: %s\n", serial::DescribePortFailure(failure).c_str());
  }
}

int RunScan(const Options& options) {
  Feedback quiet;
  Session session(quiet);
  session.namedPorts = options.ports;
  session.usbFilter = options.usb;
  session.recallLastImage = false;
  {
    // Ctrl+C lets the probes that run end in order, so that every port gets its line settings
    // back, instead of leaving them raw at our speed.
    const platform::StopSignals stopSignals;
    ReportPortFailures(discovery::ScanInterfaces(session));
    if (platform::StopRequested().load()) {
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
