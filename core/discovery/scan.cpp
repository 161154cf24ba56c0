#include "core/discovery/scan.h"

#include <algorithm>
#include <array>
#include <atomic>
#include <exception>
#include <mutex>
#include <system_error>
#include <thread>

#include "core/discovery/catalogue.h"
#include "core/platform/hex.h"
#include "core/protocol/identify.h"
#include "core/serial/port_holders.h"

namespace lumaflash::discovery {

namespace {

void LogReply(const Probe& probe, std::string& log) {
  log += "Received " + std::to_string(probe.reply.size()) + " bytes: ";
  for (uint8_t byte : probe.reply) {
    log += "0x" + platform::HexBytes(std::span(&byte, 1)) + " ";
  }
  log += "\r\n";
}

void LogRecord(const protocol::InterfaceRecord& record, std::string& log) {
  log += "   BootloaderVersion: " + WordHex(record.bootloaderVersion) + "\r\n";
  log += "   FirmwareVersion: " + WordHex(record.firmwareVersion) + "\r\n";
  log += "   Target Device: " + WordHex(record.deviceId) + "\r\n";
}

// Absent ports are the normal case while walking every possible port and stay silent; a port
// that exists but cannot be used is worth a line, or the device on it seems simply missing.
void LogOpenFailure(const Probe& probe, std::string& log) {
  if (probe.failure.error != serial::PortError::NotFound) {
    log += "Open " + serial::PortLogName(probe.address) +
           " failed: " + serial::DescribePortFailure(probe.failure) + "\r\n";
  }
}

// A probe that throws (no memory left, say) must neither end the program from a worker thread
// nor hide the other ports: its port fails with the reason.
Probe ProbeOrFail(const ProbeOne& probe, const serial::PortAddress& address) {
  try {
    return probe(address);
  } catch (const std::exception& error) {
    Probe failed;
    failed.address = address;
    failed.failure = serial::PortFailure{serial::PortError::Internal, 0, address.path, error.what()};
    return failed;
  }
}

// Looks for the programs that hold `ports`, for the update that may follow the scan.
void LookForHoldersOf(const std::vector<serial::PortAddress>& ports) {
  std::vector<std::string> paths;
  paths.reserve(ports.size());
  for (const serial::PortAddress& port : ports) {
    paths.push_back(port.path);
  }
  try {
    serial::LookForHolders(paths);
  } catch (...) {
    // Nothing remembered: the update looks for itself.
  }
}

}  // namespace

Probe ProbePort(const serial::PortAddress& address) {
  Probe probe;
  probe.address = address;
  serial::PortLink link;
  if (auto opened = link.OpenPort(address); !opened) {
    probe.failure = opened.error();
    return probe;
  }
  probe.opened = true;
  std::array<uint8_t, 1> command{protocol::kIdentify};
  std::array<uint8_t, protocol::kIdentifyReplyMax> reply{};
  // A device that vanished before it answered gives no reply, as a silent one does.
  const uint32_t length =
      link.Exchange(command, reply, protocol::kIdentifyTimeoutMs).value_or(uint32_t{0});
  probe.reply.assign(reply.begin(), reply.begin() + length);
  link.ClosePort();
  return probe;
}

std::vector<Probe> ProbePorts(const std::vector<serial::PortAddress>& ports, std::size_t maxThreads,
                              const ProbeFinished& probed, const ProbeOne& probe) {
  std::vector<Probe> probes(ports.size());
  std::atomic<std::size_t> nextPort{0};
  std::mutex reporting;
  std::exception_ptr reportFailed;  // from `probed` on a worker, thrown again on this thread
  auto work = [&] {
    for (std::size_t i = nextPort++; i < ports.size(); i = nextPort++) {
      probes[i] = ProbeOrFail(probe, ports[i]);
      if (probed) {
        const std::lock_guard lock(reporting);
        probed(probes[i]);
      }
    }
  };
  auto helper = [&] {
    try {
      work();
    } catch (...) {
      const std::lock_guard lock(reporting);
      reportFailed = reportFailed ? reportFailed : std::current_exception();
    }
  };
  std::vector<std::jthread> workers;
  // While the probes wait for their replies, another thread looks for programs that hold the
  // ports, so that an update right after the scan need not look between reply and start packet.
  try {
    workers.emplace_back([&ports] { LookForHoldersOf(ports); });
  } catch (const std::system_error&) {
    // No thread for it: the update looks for itself.
  }
  const std::size_t helpers = std::min(maxThreads, ports.size());
  for (std::size_t i = 1; i < helpers; ++i) {
    try {
      workers.emplace_back(helper);
    } catch (const std::system_error&) {
      // A process or container limit: the threads that did start share the rest of the
      // ports through the common index, down to this thread alone.
      break;
    }
  }
  work();  // this thread probes too, so one thread means a plain one-by-one scan
  workers.clear();  // joins them
  if (reportFailed) {
    std::rethrow_exception(reportFailed);
  }
  return probes;
}

void AssembleScan(const std::vector<Probe>& probes, protocol::InterfaceTable& table,
                  std::string& log) {
  log = "Find Interface START\r\n";
  table.Clear();
  std::size_t next = 0;
  for (const Probe& probe : probes) {
    if (!probe.opened) {
      LogOpenFailure(probe, log);
      continue;
    }
    log += "Open " + serial::PortLogName(probe.address) + "\r\n";
    LogReply(probe, log);
    if (probe.reply.size() < protocol::kMinIdentifyReply || next >= protocol::kInterfaceTableSize) {
      continue;
    }
    protocol::InterfaceRecord& record = table[next];
    protocol::ParseIdentifyReply(probe.reply, probe.address.portNumber, record);
    record.portPath = probe.address.path;
    record.usb = probe.address.usb;
    LogRecord(record, log);
    if (record.bootloaderVersion != 0) {
      ++next;
    }
  }
}

std::vector<serial::PortAddress> PortsToScan(const std::vector<std::string>& namedPorts,
                                             const std::vector<serial::UsbMatch>& usbFilter) {
  std::vector<serial::PortAddress> ports =
      namedPorts.empty() ? serial::SystemPorts() : serial::NamedPorts(namedPorts);
  std::erase_if(ports, [&](const serial::PortAddress& port) {
    return !serial::PassesUsbFilter(usbFilter, port.usb);
  });
  return ports;
}

}  // namespace lumaflash::discovery
