#include <gtest/gtest.h>

#include <chrono>
#include <future>
#include <string>
#include <vector>

#include "discovery/scan.h"
#include "session.h"
#include "sim/device_model.h"
#include "support/recording_feedback.h"
#include "support/sim_devices.h"

namespace lumaflash {
namespace {

using discovery::Probe;

Probe Answered(int portNumber, std::vector<uint8_t> reply) {
  Probe probe;
  probe.address = serial::PortAddress{portNumber, "/dev/ttyACM" + std::to_string(portNumber)};
  probe.opened = true;
  probe.reply = std::move(reply);
  return probe;
}

Probe Unopened(int portNumber, serial::PortError error) {
  Probe probe;
  probe.address = serial::PortAddress{portNumber, "/dev/ttyACM" + std::to_string(portNumber)};
  probe.failure = serial::PortFailure{error, 0, probe.address.path};
  return probe;
}

TEST(ScanAssembly, LogAndTableFollowPortOrder) {
  const std::vector<Probe> probes{
      Unopened(1, serial::PortError::NotFound),
      Answered(3, {0x00, 0x01, 0x05, 0x01, 0x09, 0x34}),
      Answered(4, {}),
      Answered(5, {0x00, 0x01, 0x05, 0x01, 0x09}),  // 5 bytes: logged, not recorded
      Answered(7, {0x00, 0x01, 0x05, 0x01, 0x14, 0x35, 0x00, 0x02, 1, 0xAB}),
  };
  protocol::InterfaceTable table;
  std::string log;
  discovery::AssembleScan(probes, table, log);
  EXPECT_EQ(log,
            "Find Interface START\r\n"
            "Open /dev/ttyACM3\r\n"
            "Received 6 bytes: 0x00 0x01 0x05 0x01 0x09 0x34 \r\n"
            "   BootloaderVersion: 0100\r\n"
            "   FirmwareVersion: 0105\r\n"
            "   Target Device: 3409\r\n"
            "Open /dev/ttyACM4\r\n"
            "Received 0 bytes: \r\n"
            "Open /dev/ttyACM5\r\n"
            "Received 5 bytes: 0x00 0x01 0x05 0x01 0x09 \r\n"
            "Open /dev/ttyACM7\r\n"
            "Received 10 bytes: 0x00 0x01 0x05 0x01 0x14 0x35 0x00 0x02 0x01 0xab \r\n"
            "   BootloaderVersion: 0100\r\n"
            "   FirmwareVersion: 0105\r\n"
            "   Target Device: 3514\r\n");
  ASSERT_EQ(table.Count(), 2u);
  EXPECT_EQ(table[0].portNumber, 3);
  EXPECT_EQ(table[0].portPath, "/dev/ttyACM3");
  EXPECT_EQ(table[1].portNumber, 7);
  EXPECT_EQ(table[1].serialLength, 1);
}

TEST(ScanAssembly, BootloaderZeroIsLoggedButHidesNothing) {
  const std::vector<Probe> probes{
      Answered(2, {0x00, 0x00, 0x05, 0x01, 0x09, 0x34}),
      Answered(3, {0x00, 0x01, 0x05, 0x01, 0x09, 0x34}),
  };
  protocol::InterfaceTable table;
  std::string log;
  discovery::AssembleScan(probes, table, log);
  EXPECT_NE(log.find("   BootloaderVersion: 0000\r\n"), std::string::npos);
  ASSERT_EQ(table.Count(), 1u);
  EXPECT_EQ(table[0].portNumber, 3);
}

TEST(ScanAssembly, PortsThatExistButCannotBeOpenedAreLogged) {
  const std::vector<Probe> probes{Unopened(1, serial::PortError::Busy),
                                  Unopened(2, serial::PortError::AccessDenied)};
  protocol::InterfaceTable table;
  std::string log;
  discovery::AssembleScan(probes, table, log);
  EXPECT_NE(log.find("Open /dev/ttyACM1 failed: /dev/ttyACM1 is busy"), std::string::npos);
  EXPECT_NE(log.find("Open /dev/ttyACM2 failed: /dev/ttyACM2: permission denied"),
            std::string::npos);
  EXPECT_NE(log.find("dialout"), std::string::npos);
  EXPECT_EQ(table.Count(), 0u);
}

TEST(ScanAssembly, NinetyNineRecordsAtMostLaterAnswersOnlyLogged) {
  std::vector<Probe> probes;
  for (int port = 1; port <= 101; ++port) {
    probes.push_back(Answered(port, {0x00, 0x01, 0x05, 0x01, 0x09, 0x34}));
  }
  probes.push_back(Answered(102, std::vector<uint8_t>(300, 0x5A)));
  protocol::InterfaceTable table;
  std::string log;
  discovery::AssembleScan(probes, table, log);
  EXPECT_EQ(table.Count(), 99u);
  EXPECT_EQ(table[98].portNumber, 99);
  EXPECT_NE(log.find("Open /dev/ttyACM101\r\nReceived 6 bytes"), std::string::npos);
  std::string all300 = "Received 300 bytes: ";
  for (int i = 0; i < 300; ++i) {
    all300 += "0x5a ";
  }
  EXPECT_NE(log.find(all300 + "\r\n"), std::string::npos);
  // 99 recorded replies, three lines each.
  std::size_t recordLines = 0;
  for (std::size_t at = log.find("Target Device"); at != std::string::npos;
       at = log.find("Target Device", at + 1)) {
    ++recordLines;
  }
  EXPECT_EQ(recordLines, 99u);
}

TEST(Scan, FindsSimulatedDevicesInPortOrder) {
  sim::DeviceConfig first = testing::Device(0x3409);
  first.firmwareVersion = 0x0105;
  sim::DeviceConfig second = testing::Device(0x3514, 256);
  second.serial = {0x0a, 0x1b, 0xff};
  auto a = testing::StartDevice(first);
  auto b = testing::StartDevice(second);
  testing::RecordingFeedback feedback;
  Session session(feedback);
  session.namedPorts = {a->Path(), "/nonexistent/ttyACM9", b->Path()};
  session.recallLastImage = false;
  auto failures = discovery::ScanInterfaces(session);

  ASSERT_EQ(session.interfaces.Count(), 2u);
  EXPECT_EQ(session.interfaces[0].portPath, a->Path());
  EXPECT_EQ(session.interfaces[0].portNumber, 1);
  EXPECT_EQ(session.interfaces[1].portPath, b->Path());
  EXPECT_EQ(session.interfaces[1].portNumber, 3);
  EXPECT_EQ(session.interfaces[1].blockSize, 256);
  EXPECT_EQ(
      session.scanLog,
      "Find Interface START\r\n"
      "Open " +
          a->Path() +
          "\r\n"
          "Received 6 bytes: 0x00 0x01 0x05 0x01 0x09 0x34 \r\n"
          "   BootloaderVersion: 0100\r\n"
          "   FirmwareVersion: 0105\r\n"
          "   Target Device: 3409\r\n"
          "Open " +
          b->Path() +
          "\r\n"
          "Received 12 bytes: 0x00 0x01 0x05 0x01 0x14 0x35 0x00 0x01 0x03 0x0a 0x1b 0xff \r\n"
          "   BootloaderVersion: 0100\r\n"
          "   FirmwareVersion: 0105\r\n"
          "   Target Device: 3514\r\n");
  ASSERT_EQ(failures.size(), 1u);
  EXPECT_EQ(failures[0].error, serial::PortError::NotFound);

  ASSERT_EQ(feedback.rows.size(), 2u);
  EXPECT_EQ(feedback.rows[0].device, "Lumetta B");
  EXPECT_EQ(feedback.rows[0].version, "1.05");
  EXPECT_EQ(feedback.rows[0].serial, "Not available");
  EXPECT_EQ(feedback.rows[1].serial, "0A1BFF");
  EXPECT_EQ(feedback.Texts(), std::vector<std::string>{"2 Interfaces found"});
  EXPECT_EQ(feedback.progressRange, 3u);
  EXPECT_EQ(feedback.progressSteps, 3u);
  EXPECT_EQ(feedback.progressPosition, 0u);
  EXPECT_EQ(feedback.waitCursors, 1);
  EXPECT_EQ(feedback.arrowCursors, 1);
}

TEST(Scan, ConcurrentProbesMatchAOneByOneScan) {
  std::vector<std::unique_ptr<sim::PtyDevice>> devices;
  std::vector<std::string> paths;
  for (uint16_t type : std::vector<uint16_t>{0x3514, 0x4801, 0x3611, 0x1234}) {
    devices.push_back(testing::StartDevice(testing::Device(type)));
    paths.push_back(devices.back()->Path());
  }
  const auto ports = serial::NamedPorts(paths);
  protocol::InterfaceTable oneByOne;
  protocol::InterfaceTable concurrent;
  std::string oneByOneLog;
  std::string concurrentLog;
  discovery::AssembleScan(discovery::ProbePorts(ports, 1), oneByOne, oneByOneLog);
  discovery::AssembleScan(discovery::ProbePorts(ports), concurrent, concurrentLog);
  EXPECT_EQ(concurrentLog, oneByOneLog);
  ASSERT_EQ(concurrent.Count(), 4u);
  for (std::size_t i = 0; i < 4; ++i) {
    EXPECT_EQ(concurrent[i].portPath, oneByOne[i].portPath);
    EXPECT_EQ(concurrent[i].deviceId, oneByOne[i].deviceId);
  }
}

// The progress bar follows the scan: each probe is reported as it ends, not once all have.
// Port 2's probe ends only after port 1's has been reported; a report held back to the end
// would leave it waiting for nothing.
TEST(Scan, EachProbeIsReportedAsItEnds) {
  for (const std::size_t threads : {std::size_t{1}, std::size_t{2}}) {
    SCOPED_TRACE(threads);
    std::promise<void> firstReported;
    std::shared_future<void> reported = firstReported.get_future().share();
    bool waited = false;
    std::vector<int> order;
    const auto probe = [&](const serial::PortAddress& address) {
      if (address.portNumber == 2) {
        waited = reported.wait_for(std::chrono::seconds(10)) == std::future_status::ready;
      }
      return Answered(address.portNumber, {});
    };
    const auto probed = [&](const Probe& done) {
      order.push_back(done.address.portNumber);
      if (done.address.portNumber == 1) {
        firstReported.set_value();
      }
    };
    const auto probes =
        discovery::ProbePorts(serial::NamedPorts({"/a", "/b"}), threads, probed, probe);
    EXPECT_TRUE(waited);
    EXPECT_EQ(order, (std::vector<int>{1, 2}));
    EXPECT_EQ(probes.size(), 2u);
  }
}

}  // namespace
}  // namespace lumaflash
