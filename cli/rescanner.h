#pragma once

#include <chrono>
#include <cstddef>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <stop_token>
#include <string>
#include <vector>

#include "core/discovery/scan.h"
#include "core/protocol/interface_table.h"
#include "core/serial/port.h"

namespace lumaflash::cli {

// Scans again and again while the command line waits for devices. The ports are probed side by
// side (discovery::ProbePorts). A port that opens but does not answer costs a whole identify
// time-out and puts a byte on a line that may belong to something else, so it is probed again
// only every second round after its first silence, then every fourth. Ports that cannot be opened
// cost nothing and are tried every round.
class Rescanner {
 public:
  // `namedPorts` empty: the system's ports, read afresh each round. Only ports whose USB
  // identity passes `usbFilter` are opened.
  explicit Rescanner(std::vector<std::string> namedPorts,
                     std::vector<serial::UsbMatch> usbFilter = {});

  // From the second round on, a port that has just appeared is probed only once no other
  // program has it open (ModemManager probes new ports too): up to `limit`, telling `tell` who
  // holds it. A stop requested on `stop` ends the wait early.
  void WatchHolders(std::chrono::milliseconds limit, std::stop_token stop,
                    std::function<void(const std::string&)> tell);

  // One round: probes the ports that are due and builds the table of those that answered.
  void Scan();

  // A new port that another program still held at the end of the wait; it was not probed.
  const std::optional<serial::PortFailure>& StillHeld() const { return m_stillHeld; }

  const protocol::InterfaceTable& Interfaces() const { return *m_table; }
  const std::string& ScanLog() const { return m_log; }

  // The ports whose reason for not opening is new since the last round (each told once until
  // it changes or the port opens again).
  const std::vector<serial::PortFailure>& NewFailures() const { return m_newFailures; }

  // Every port that could not be opened in the last round that probed it.
  std::vector<serial::PortFailure> CurrentFailures() const;

  // How many identify commands the last round sent (for tests and figures).
  std::size_t LastRoundProbes() const { return m_lastRoundProbes; }

 private:
  struct PortState {
    int silentRounds = 0;  // rounds in a row the port opened but gave no usable reply
    int skipLeft = 0;      // rounds still to skip before probing it again
    serial::PortFailure failure;
    bool seen = false;  // there in an earlier round (listed, and not "no such port")
  };

  std::vector<serial::PortAddress> Due(const std::vector<serial::PortAddress>& ports);
  void Remember(const discovery::Probe& probe);
  std::vector<serial::PortAddress> FreeOfHolders(std::vector<serial::PortAddress> due);

  std::vector<std::string> m_namedPorts;
  std::vector<serial::UsbMatch> m_usbFilter;
  std::map<std::string, PortState> m_ports;
  std::unique_ptr<protocol::InterfaceTable> m_table = std::make_unique<protocol::InterfaceTable>();
  std::string m_log;
  std::vector<serial::PortFailure> m_newFailures;
  std::size_t m_lastRoundProbes = 0;
  std::size_t m_rounds = 0;
  std::optional<std::chrono::milliseconds> m_holderWait;
  std::stop_token m_stop;
  std::function<void(const std::string&)> m_tell;
  std::optional<serial::PortFailure> m_stillHeld;
};

}  // namespace lumaflash::cli
