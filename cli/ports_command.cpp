#include <cstdio>
#include <string>

#include "cli/commands.h"
#include "cli/exit_codes.h"
#include "cli/json.h"

namespace lumaflash::cli {

namespace {

std::string PortsJson(const std::vector<serial::PortInfo>& ports) {
  Json list = Json::array();
  for (const serial::PortInfo& port : ports) {
    const char* reason = serial::SkipReasonName(port.skipped);
    list.push_back({{"port", port.address.path},
                    {"usb", UsbJson(port.address.usb)},
                    {"byId", port.byId.empty() ? Json(nullptr) : Json(port.byId)},
                    {"skipped", reason != nullptr ? Json(reason) : Json(nullptr)}});
  }
  return DumpJson(list);
}

std::string OrDash(const std::optional<std::string>& text) {
  return text && !text->empty() ? *text : "-";
}

void PrintPortTable(const std::vector<serial::PortInfo>& ports) {
  std::printf("%-20s %-9s %-20s %-24s %-20s %s\n", "PORT", "USB", "MANUFACTURER", "PRODUCT",
              "SERIAL", "SKIPPED");
  for (const serial::PortInfo& port : ports) {
    const auto& usb = port.address.usb;
    const char* reason = serial::SkipReasonName(port.skipped);
    std::printf("%-20s %-9s %-20s %-24s %-20s %s\n", port.address.path.c_str(),
                UsbColumn(usb).c_str(), OrDash(usb ? usb->manufacturer : std::nullopt).c_str(),
                OrDash(usb ? usb->product : std::nullopt).c_str(),
                OrDash(usb ? usb->serial : std::nullopt).c_str(), reason ? reason : "-");
  }
  std::printf("%zu serial port(s)\n", ports.size());
}

}  // namespace

// Lists what the walk sees without opening anything: nothing on any line, nothing locked.
int RunPorts(const Options& options) {
  const std::vector<serial::PortInfo> ports = serial::ListPorts();
  if (options.json) {
    std::printf("%s\n", PortsJson(ports).c_str());
  } else {
    PrintPortTable(ports);
  }
  return kExitOk;
}

}  // namespace lumaflash::cli
