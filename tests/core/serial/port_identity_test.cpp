// Which port is which: the USB identity of each port read from a sysfs tree the test builds, the
// ports the walk leaves alone, and the --usb filter, all through lumaflash-cli.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <memory>
#include <regex>
#include <string>
#include <utility>
#include <vector>

#include "core/serial/port_watch.h"
#include "core/serial/usb_identity.h"
#include "sim/image_file.h"
#include "tests/support/fake_system.h"
#include "tests/support/run_program.h"
#include "tests/support/sim_devices.h"
#include "tests/support/temp_dir.h"

namespace lumaflash {
namespace {

using Attributes = std::vector<std::pair<std::string, std::string>>;

testing::ProgramResult Cli(const testing::TempDir& dir, std::vector<std::string> args) {
  args.insert(args.begin(), LUMAFLASH_CLI_PATH);
  return testing::RunProgram(args, dir.Path());
}

// A USB device at sys/devices/usb1/`bus` with its interface number `function` and its strings.
Attributes Usb(const std::string& bus, const std::string& vid, const std::string& pid, int function,
               Attributes strings = {}) {
  const std::string device = "devices/usb1/" + bus;
  char hex[3] = {};
  std::snprintf(hex, sizeof hex, "%02x", function);  // the kernel writes it in hex
  Attributes attributes{
      {device + "/idVendor", vid},
      {device + "/idProduct", pid},
      {device + "/" + bus + ":1." + std::to_string(function) + "/bInterfaceNumber", hex}};
  for (auto& [name, value] : strings) {
    attributes.emplace_back(device + "/" + name, value);
  }
  return attributes;
}

// Its device under sys/devices, its attributes, a link under dev/serial/by-id (or none) and its
// object in `ports --json` (ROOT stands for the tree).
struct FakePort {
  std::string name, device;
  Attributes attributes;
  std::string byId, expected;
};

// Every port's node leads to a simulated device, so whatever the walk opens, the device sees.
TEST(PortIdentity, PortsAreListedWithTheirIdentityAndOnlyMatchingOnesOpened) {
  testing::TempDir dir;
  testing::FakeSystem system(dir / "root");
  const std::string root = system.Root();
  // clang-format off
  const std::vector<FakePort> ports = {
      {"ttyACM0", "usb1/1-2/1-2:1.0",
       Usb("1-2", "1209", "0001", 0,
           {{"manufacturer", "Lumaflash Test"}, {"product", "Boot \"loader\""}, {"serial", "U1"}}),
       "usb-Lumaflash_Test_Boot_loader_U1-if00",
       R"({"port":"ROOT/dev/ttyACM0","usb":{"vid":"1209","pid":"0001","manufacturer":)"
       R"("Lumaflash Test","product":"Boot \"loader\"","serial":"U1","interface":0},"byId":)"
       R"("ROOT/dev/serial/by-id/usb-Lumaflash_Test_Boot_loader_U1-if00","skipped":null})"},
      {"ttyACM1", "usb1/1-4/1-4:1.10", Usb("1-4", "1209", "0002", 10, {{"serial", "U2"}}), "",
       R"({"port":"ROOT/dev/ttyACM1","usb":{"vid":"1209","pid":"0002","manufacturer":null,)"
       R"("product":null,"serial":"U2","interface":10},"byId":null,"skipped":null})"},
      {"ttyS0", "pnp0/00:05", {{"class/tty/ttyS0/type", "4"}}, "",
       R"({"port":"ROOT/dev/ttyS0","usb":null,"byId":null,"skipped":"console"})"},
      {"ttyS1", "platform/serial8250", {{"class/tty/ttyS1/type", "0"}}, "",
       R"({"port":"ROOT/dev/ttyS1","usb":null,"byId":null,"skipped":"no-uart"})"},
      {"ttyS2", "pnp0/00:06", {{"class/tty/ttyS2/type", "4"}}, "",
       R"({"port":"ROOT/dev/ttyS2","usb":null,"byId":null,"skipped":null})"},
      // A usb-serial converter: the tty's device is the converter's port below the interface.
      {"ttyUSB0", "usb1/1-3/1-3:1.0/ttyUSB0", Usb("1-3", "0403", "6001", 0, {{"product", "FT232R USB UART"}}), "",
       R"({"port":"ROOT/dev/ttyUSB0","usb":{"vid":"0403","pid":"6001","manufacturer":null,)"
       R"("product":"FT232R USB UART","serial":null,"interface":0},"byId":null,"skipped":null})"},
  };
  // clang-format on
  system.Attribute("class/tty/console/active", "tty0 ttyS0");
  std::map<std::string, std::unique_ptr<sim::PtyDevice>> devices;
  std::string listed;
  for (const FakePort& port : ports) {
    system.Tty(port.name, port.device);
    for (const auto& [path, value] : port.attributes) {
      system.Attribute(path, value);
    }
    if (!port.byId.empty()) {
      std::filesystem::create_symlink("../../" + port.name,
                                      root + "/dev/serial/by-id/" + port.byId);
    }
    devices[port.name] = testing::StartDevice(testing::Device(0x3514));
    system.Node(port.name, devices[port.name]->Path());
    listed +=
        (listed.empty() ? "[" : ",") + std::regex_replace(port.expected, std::regex("ROOT"), root);
  }
  const auto image =
      dir.Write("fw.bin", sim::BuildImageFile(1, 0x3514, sim::PatternPayload(600, 3)));
  // Opened: in name order.
  // clang-format off
  struct Case { std::vector<std::string> args, opened; std::string inOutput; };
  const Case cases[] = {
      {{"ports", "--json"}, {}, listed + "]\n"},
      {{"ports"}, {}, "1209:0001 Lumaflash Test       Boot \"loader\"            U1"},
      {{"scan"}, {"ttyACM0", "ttyACM1", "ttyS2", "ttyUSB0"}, "4 Interfaces found"},
      {{"scan", "--usb", "1209:", "--json"}, {"ttyACM0", "ttyACM1"}, R"("serial":"12345678","usb":{"vid":"1209","pid":"0002")"},
      {{"scan", "--usb", "0403:6001", "--usb", "1209:0002"}, {"ttyACM1", "ttyUSB0"}, root + "/dev/ttyUSB0 0403:6001 Lumetta A "},
      {{"scan", "--usb", "abcd:"}, {}, "0 Interfaces found"},
      // A named port is opened even when it is the console; without USB it never matches --usb.
      {{"scan", "--port", root + "/dev/ttyS0"}, {"ttyS0"}, "1 Interfaces found"},
      {{"scan", "--port", root + "/dev/ttyS2", "--usb", "1209:"}, {}, "0 Interfaces found"},
      {{"flash", image.string(), "--usb", "1209:0002", "--json"}, {"ttyACM1"}, R"("serial":"12345678","usbSerial":"U2","deviceId":"3514")"},
  };
  // clang-format on
  for (const Case& c : cases) {
    SCOPED_TRACE(::testing::PrintToString(c.args));
    std::map<std::string, std::size_t> before;
    for (const auto& [name, device] : devices) {
      before[name] = device->Snapshot().Packets().size();
    }
    const auto result = Cli(dir, c.args);
    EXPECT_EQ(result.exitCode, 0) << result.err;
    EXPECT_NE(result.out.find(c.inOutput), std::string::npos) << result.out;
    EXPECT_EQ(result.err.find("lumaflash-cli:"), std::string::npos) << result.err;
    std::vector<std::string> opened;
    for (const auto& [name, device] : devices) {
      opened.insert(opened.end(), device->Snapshot().Packets().size() != before[name], name);
    }
    EXPECT_EQ(opened, c.opened);
  }
}

// The watch wakes its waiter when a serial port's node appears in dev/ (made, moved in, or given
// its permissions by udev a moment later) and sleeps on through the nodes of anything else. Each
// change is queued before Wait() looks, so no verdict depends on the time it is given.
TEST(PortIdentity, PortWatchWakesForSerialPortNodesOnly) {
  using namespace std::chrono_literals;
  namespace fs = std::filesystem;
  testing::TempDir dir;
  testing::FakeSystem system(dir / "root");
  const fs::path dev = system.Root() / "dev";
  for (const char* name : {"ttyACM5", "ttyACM6", "ttyACM7"}) {
    system.Tty(name, std::string("usb1/1-5/1-5:1.0/") + name);
  }
  std::ofstream(dev / "ttyACM5").put('\n');  // there before the watch
  std::ofstream(dev / ".ttyACM7").put('\n');
  const std::pair<const char*, std::function<void()>> wakes[] = {
      {"a port's node appears", [&] { std::ofstream(dev / "ttyACM6").put('\n'); }},
      {"a port's node is moved in", [&] { fs::rename(dev / ".ttyACM7", dev / "ttyACM7"); }},
      {"a port's node gets its mode", [&] { fs::permissions(dev / "ttyACM5", fs::perms(0660)); }},
      {"a disk's node appears", [&] { std::ofstream(dev / "sda1").put('\n'); }},
  };
  const std::stop_token stop;  // never requested
  for (const auto& [change, make] : wakes) {
    serial::PortWatch watch;
    make();
    const bool port = std::string(change).find("port") != std::string::npos;
    EXPECT_EQ(watch.Wait(port ? 10s : 100ms, stop), port) << change;
  }
}

TEST(PortIdentity, WindowsDeviceIdsAndUsbFilterValues) {
  const std::pair<const char*, std::optional<serial::UsbDeviceId>> ids[] = {
      {R"(USB\VID_1209&PID_00A1\A1B2C3)", serial::UsbDeviceId{"1209", "00a1", {}, "A1B2C3"}},
      {R"(USB\VID_1209&PID_0001&MI_02\6&2A3B&0&0002)", serial::UsbDeviceId{"1209", "0001", 2, {}}},
      {R"(USB\VID_1209&PID_0001\5&1E0F&0&3)", serial::UsbDeviceId{"1209", "0001", {}, {}}},
      {R"(USB\VID_1209&PID_0001&REV_0100)", serial::UsbDeviceId{"1209", "0001", {}, {}}},
      {R"(FTDIBUS\VID_0403+PID_6001+A50285BIA\0000)", serial::UsbDeviceId{"0403", "6001", {}, {}}},
      {R"(ACPI\PNP0501\1)", std::nullopt},
      {R"(USB\VID_12G9&PID_0001\X)", std::nullopt},
      {"", std::nullopt},
  };
  for (const auto& [id, expected] : ids) {
    EXPECT_TRUE(serial::ParseUsbDeviceId(id) == expected) << id;
  }
  testing::TempDir dir;
  for (const char* value : {"1209", "1209:00001", ":0001", "12g9:0001", "1209:0x1", ""}) {
    const auto result = Cli(dir, {"scan", "--usb", value});
    EXPECT_EQ(result.exitCode, 2) << value;
    EXPECT_NE(result.err.find("--usb takes a USB vendor and product id"), std::string::npos);
  }
}

}  // namespace
}  // namespace lumaflash
