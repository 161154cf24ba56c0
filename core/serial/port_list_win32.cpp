// Serial ports on Windows: the walk tries COM1 to COM256; SetupAPI's Ports class tells which COM
// ports exist and which USB device is behind each.
#include <windows.h>
// Before any header that declares device property keys, so that the keys used here are defined.
#include <initguid.h>
// These need the types of windows.h.
#include <cfgmgr32.h>
#include <devguid.h>
#include <devpkey.h>
#include <setupapi.h>

#include <algorithm>
#include <array>
#include <cctype>
#include <cwchar>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "core/platform/wide_text.h"
#include "core/serial/port.h"

namespace lumaflash::serial {

namespace {

constexpr int kHighestComPort = 256;
constexpr std::string_view kDeviceNamespace = "\\\\.\\";

// Text up to its terminating L'\0'.
std::string Utf8(const wchar_t* text) {
  return platform::Utf8FromWide(text);
}

// "COM5" from "\\.\COM5", "com5" or "COM5"; upper case, so that names compare.
std::string ComName(std::string path) {
  if (path.starts_with(kDeviceNamespace)) {
    path.erase(0, kDeviceNamespace.size());
  }
  std::transform(path.begin(), path.end(), path.begin(),
                 [](unsigned char c) { return static_cast<char>(std::toupper(c)); });
  return path;
}

int ComNumber(const std::string& name) {
  if (!name.starts_with("COM") || name.size() == 3) {
    return 0;
  }
  const std::string digits = name.substr(3);
  if (!std::all_of(digits.begin(), digits.end(), [](unsigned char c) { return std::isdigit(c); })) {
    return 0;
  }
  return std::stoi(digits);
}

std::string PortName(HDEVINFO devices, SP_DEVINFO_DATA& device) {
  HKEY key = ::SetupDiOpenDevRegKey(devices, &device, DICS_FLAG_GLOBAL, 0, DIREG_DEV, KEY_READ);
  if (key == INVALID_HANDLE_VALUE) {
    return {};
  }
  std::array<wchar_t, 64> name{};
  DWORD size = sizeof(wchar_t) * (name.size() - 1);
  DWORD type = 0;
  const LSTATUS status = ::RegQueryValueExW(key, L"PortName", nullptr, &type,
                                            reinterpret_cast<BYTE*>(name.data()), &size);
  ::RegCloseKey(key);
  return status == ERROR_SUCCESS && type == REG_SZ ? ComName(Utf8(name.data())) : std::string{};
}

std::string DeviceId(DEVINST instance) {
  std::array<wchar_t, MAX_DEVICE_ID_LEN + 1> id{};
  if (::CM_Get_Device_IDW(instance, id.data(), static_cast<ULONG>(id.size()), 0) != CR_SUCCESS) {
    return {};
  }
  return Utf8(id.data());
}

// Each string of the REG_MULTI_SZ hardware ids.
std::vector<std::string> HardwareIds(HDEVINFO devices, SP_DEVINFO_DATA& device) {
  std::array<wchar_t, 2048> ids{};
  if (!::SetupDiGetDeviceRegistryPropertyW(devices, &device, SPDRP_HARDWAREID, nullptr,
                                           reinterpret_cast<BYTE*>(ids.data()),
                                           sizeof(wchar_t) * (ids.size() - 2), nullptr)) {
    return {};
  }
  std::vector<std::string> list;
  for (const wchar_t* id = ids.data(); *id != L'\0'; id += std::wcslen(id) + 1) {
    list.push_back(Utf8(id));
  }
  return list;
}

// The product string as the device reported it on the bus (Windows 7 and later).
std::optional<std::string> BusReportedProduct(HDEVINFO devices, SP_DEVINFO_DATA& device) {
  std::array<wchar_t, 256> text{};
  DEVPROPTYPE type = 0;
  if (!::SetupDiGetDevicePropertyW(devices, &device, &DEVPKEY_Device_BusReportedDeviceDesc, &type,
                                   reinterpret_cast<BYTE*>(text.data()),
                                   sizeof(wchar_t) * (text.size() - 1), nullptr, 0) ||
      type != DEVPROP_TYPE_STRING) {
    return std::nullopt;
  }
  return Utf8(text.data());
}

std::optional<UsbIdentity> IdentityOf(HDEVINFO devices, SP_DEVINFO_DATA& device) {
  std::optional<UsbDeviceId> id = ParseUsbDeviceId(DeviceId(device.DevInst));
  for (const std::string& hardwareId : HardwareIds(devices, device)) {
    if (id) {
      break;
    }
    id = ParseUsbDeviceId(hardwareId);
  }
  if (!id) {
    return std::nullopt;
  }
  // One function of a composite device: the serial number is in its parent's instance id.
  DEVINST parent = 0;
  if (!id->serial && ::CM_Get_Parent(&parent, device.DevInst, 0) == CR_SUCCESS) {
    if (auto parentId = ParseUsbDeviceId(DeviceId(parent));
        parentId && parentId->vid == id->vid && parentId->pid == id->pid) {
      id->serial = parentId->serial;
    }
  }
  // Windows keeps no copy of the device's manufacturer string (the driver's is another thing).
  return UsbIdentity{id->vid,      id->pid,
                     std::nullopt, BusReportedProduct(devices, device),
                     id->serial,   id->interfaceNumber};
}

// COM name -> identity (or none) of every present port in the Ports class.
std::map<std::string, std::optional<UsbIdentity>> PresentPorts() {
  std::map<std::string, std::optional<UsbIdentity>> ports;
  HDEVINFO devices = ::SetupDiGetClassDevsW(&GUID_DEVCLASS_PORTS, nullptr, nullptr, DIGCF_PRESENT);
  if (devices == INVALID_HANDLE_VALUE) {
    return ports;
  }
  SP_DEVINFO_DATA device{};
  device.cbSize = sizeof device;
  for (DWORD i = 0; ::SetupDiEnumDeviceInfo(devices, i, &device); ++i) {
    const std::string name = PortName(devices, device);
    if (ComNumber(name) > 0) {  // the Ports class holds printer ports (LPT1) too
      ports.emplace(name, IdentityOf(devices, device));
    }
  }
  ::SetupDiDestroyDeviceInfoList(devices);
  return ports;
}

}  // namespace

std::vector<PortInfo> ListPorts() {
  std::vector<PortInfo> ports;
  for (auto& [name, usb] : PresentPorts()) {
    ports.push_back(PortInfo{PortAddress{ComNumber(name), name, std::move(usb)}, {}, {}});
  }
  std::sort(ports.begin(), ports.end(), [](const PortInfo& a, const PortInfo& b) {
    return a.address.portNumber < b.address.portNumber;
  });
  return ports;
}

// Windows numbers its serial ports; the scan walks every number and lets OpenPort find out
// which exist, so a port that appears between two scans is never missed.
std::vector<PortAddress> SystemPorts() {
  std::map<std::string, std::optional<UsbIdentity>> present = PresentPorts();
  std::vector<PortAddress> ports;
  ports.reserve(kHighestComPort);
  for (int number = 1; number <= kHighestComPort; ++number) {
    const std::string name = "COM" + std::to_string(number);
    const auto known = present.find(name);
    ports.push_back(
        PortAddress{number, name, known == present.end() ? std::nullopt : known->second});
  }
  return ports;
}

std::optional<UsbIdentity> FindUsbIdentity(const std::string& path) {
  std::map<std::string, std::optional<UsbIdentity>> present = PresentPorts();
  const auto known = present.find(ComName(path));
  return known == present.end() ? std::nullopt : known->second;
}

}  // namespace lumaflash::serial
