// The scan without a device: probes assembled into the log and the interface table in port
// order, and each probe reported as it ends, whatever order the probes end in.
#include "core/discovery/scan.h"

#include <gtest/gtest.h>

#include <chrono>
#include <future>
#include <string>
#include <vector>

#include "tests/support/hex_bytes.h"

namespace lumaflash {
namespace {

using testing::Hex;

discovery::Probe Probe(int port, const std::string& reply, serial::PortError error = {}) {
  const std::string path = "/dev/ttyACM" + std::to_string(port);
  return {{port, path}, error == serial::PortError::None, {error, 0, path}, Hex(reply)};
}

TEST(ScanAssembly, LogAndTableFollowPortOrder) {
  // Port 5's reply is too short: logged, not recorded; port 6's bootloader 0: logged, hides none.
  // clang-format off
  const std::vector<discovery::Probe> probes{
      Probe(1, "", serial::PortError::NotFound), Probe(2, "", serial::PortError::Busy),
      Probe(3, "00 01 05 01 09 34"), Probe(4, ""), Probe(5, "00 01 05 01 09"),
      Probe(6, "00 00 05 01 09 34"), Probe(7, "00 01 05 01 14 35 00 02 01 AB")};
  protocol::InterfaceTable table;
  std::string log;
  discovery::AssembleScan(probes, table, log);
  const std::string record = "   BootloaderVersion: 0100\r\n   FirmwareVersion: 0105\r\n";
  EXPECT_EQ(log, "Find Interface START\r\nOpen /dev/ttyACM2 failed: " +
                 serial::DescribePortFailure(probes[1].failure) + "\r\n"
                 "Open /dev/ttyACM3\r\nReceived 6 bytes: 0x00 0x01 0x05 0x01 0x09 0x34 \r\n" + record +
                 "   Target Device: 3409\r\nOpen /dev/ttyACM4\r\nReceived 0 bytes: \r\n"
                 "Open /dev/ttyACM5\r\nReceived 5 bytes: 0x00 0x01 0x05 0x01 0x09 \r\n"
                 "Open /dev/ttyACM6\r\nReceived 6 bytes: 0x00 0x00 0x05 0x01 0x09 0x34 \r\n"
                 "   BootloaderVersion: 0000\r\n   FirmwareVersion: 0105\r\n   Target Device: 3409\r\n"
                 "Open /dev/ttyACM7\r\n"
                 "Received 10 bytes: 0x00 0x01 0x05 0x01 0x14 0x35 0x00 0x02 0x01 0xab \r\n" + record +
                 "   Target Device: 3514\r\n");
  // clang-format on
  EXPECT_TRUE(table[0].portPath == "/dev/ttyACM3" && table[1].portNumber == 7 &&
              table[1].serialLength == 1);

  // At most 99 records; later answers are only logged.
  std::vector<discovery::Probe> many(101, Probe(1, "00 01 05 01 09 34"));
  many.push_back(Probe(102, "5a*1"));
  discovery::AssembleScan(many, table, log);
  EXPECT_TRUE(table.Count() == 99 && log.ends_with("Received 1 bytes: 0x5a \r\n")) << log;
}

// The progress bar follows the scan: port 2's probe ends only after port 1's has been reported;
// a report held back to the end would leave it waiting for nothing.
TEST(ScanAssembly, EachProbeIsReportedAsItEnds) {
  for (const std::size_t threads : {1u, 2u}) {
    std::promise<void> firstReported;
    std::future<void> reported = firstReported.get_future();
    std::vector<int> order;  // port numbers; -1 for a port that waited in vain
    const auto probe = [&](const serial::PortAddress& address) {
      const bool waited = address.portNumber != 2 ||
                          reported.wait_for(std::chrono::seconds(10)) == std::future_status::ready;
      return discovery::Probe{address, waited, {}, {}};
    };
    const auto probed = [&](const discovery::Probe& done) {
      order.push_back(done.opened ? done.address.portNumber : -1);
      if (done.address.portNumber == 1) {
        firstReported.set_value();
      }
    };
    discovery::ProbePorts(serial::NamedPorts({"/a", "/b"}), threads, probed, probe);
    EXPECT_EQ(order, (std::vector<int>{1, 2})) << threads;
  }
}

}  // namespace
}  // namespace lumaflash
