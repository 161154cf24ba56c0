#pragma once

#include <functional>
#include <string>
#include <vector>

#include "core/protocol/interface_table.h"
#include "core/serial/port.h"

namespace lumaflash::discovery {

// What one port said when it was opened and sent the identify command.
struct Probe {
  serial::PortAddress address;
  bool opened = false;
  serial::PortFailure failure;  // why it could not be opened
  std::vector<uint8_t> reply;
};

// Opens one port, sends the identify command with the 50 ms exchange and closes it again.
Probe ProbePort(const serial::PortAddress& address);

// Each port's identify waits out its full time-out, so the ports are probed side by side, on
// up to `maxThreads` threads (1: one after the other). The probes come back in the order of
// `ports` whatever the timing. `probed`, when given, is called as each probe finishes (one call
// at a time, from the probing threads), so that a progress bar can follow the scan. `probe`
// probes one port (ProbePort unless a test stands in for it); one that throws fails its port
// (PortError::Internal, with the reason) and the scan goes on.
inline constexpr std::size_t kProbeThreads = 32;
using ProbeFinished = std::function<void(const Probe& probe)>;
using ProbeOne = std::function<Probe(const serial::PortAddress& address)>;
std::vector<Probe> ProbePorts(const std::vector<serial::PortAddress>& ports,
                              std::size_t maxThreads = kProbeThreads,
                              const ProbeFinished& probed = nullptr,
                              const ProbeOne& probe = ProbePort);

// Builds the interface table and the scan log from probes in port order. A reply whose
// bootloader version is 0 is logged but not recorded, so it cannot hide the devices after it.
void AssembleScan(const std::vector<Probe>& probes, protocol::InterfaceTable& table,
                  std::string& log);

// The ports a scan opens: the named ones, or the system's, less those whose USB identity does
// not pass `usbFilter`.
std::vector<serial::PortAddress> PortsToScan(const std::vector<std::string>& namedPorts,
                                             const std::vector<serial::UsbMatch>& usbFilter);

}  // namespace lumaflash::discovery
