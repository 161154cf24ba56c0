#include "cli/rescanner.h"

#include <algorithm>
#include <cerrno>

#include "core/serial/port_holders.h"

#include "core/protocol/identify.h"

namespace lumaflash::cli {

namespace {

constexpr int kLongestSkip = 3;  // a silent port is still probed every 4th round

bool Answered(const discovery::Probe& probe) {
  return probe.opened && probe.reply.size() >= protocol::kMinIdentifyReply;
}

}  // namespace

Rescanner::Rescanner(std::vector<std::string> namedPorts, std::vector<serial::UsbMatch> usbFilter)
    : m_namedPorts(std::move(namedPorts)), m_usbFilter(std::move(usbFilter)) {}

std::vector<serial::PortAddress> Rescanner::Due(const std::vector<serial::PortAddress>& ports) {
  std::vector<serial::PortAddress> due;
  for (const serial::PortAddress& port : ports) {
    PortState& state = m_ports[port.path];
    if (state.skipLeft > 0) {
      --state.skipLeft;
      continue;
    }
    due.push_back(port);
  }
  return due;
}

void Rescanner::Remember(const discovery::Probe& probe) {
  PortState& state = m_ports[probe.address.path];
  if (!probe.opened) {
    if (probe.failure.error != state.failure.error) {
      m_newFailures.push_back(probe.failure);
    }
    // A port that is not there yet has not appeared: its first probe comes after the holders'.
    state = PortState{0, 0, probe.failure, probe.failure.error != serial::PortError::NotFound};
    return;
  }
  state.failure = {};
  if (Answered(probe)) {
    state.silentRounds = 0;
    state.skipLeft = 0;
    return;
  }
  state.skipLeft = std::min((1 << std::min(state.silentRounds + 1, 2)) - 1, kLongestSkip);
  ++state.silentRounds;
}

void Rescanner::WatchHolders(std::chrono::milliseconds limit, std::stop_token stop,
                             std::function<void(const std::string&)> tell) {
  m_holderWait = limit;
  m_stop = std::move(stop);
  m_tell = std::move(tell);
}

// Waits for the holders of each port that appeared since the last round; a port still held is
// left out of this round's probes.
std::vector<serial::PortAddress> Rescanner::FreeOfHolders(std::vector<serial::PortAddress> due) {
  if (!m_holderWait || m_rounds == 0) {
    return due;
  }
  std::erase_if(due, [&](const serial::PortAddress& port) {
    if (m_ports.at(port.path).seen) {
      return false;
    }
    const std::vector<serial::PortHolder> held =
        serial::WaitForHolders(port.path, *m_holderWait, m_stop, m_tell);
    if (held.empty() || m_stop.stop_requested()) {
      return !held.empty();
    }
    m_stillHeld = serial::PortFailure{serial::PortError::Busy, EBUSY, port.path,
                                      serial::StillHeldText(held, port.path, *m_holderWait)};
    return true;
  });
  return due;
}

void Rescanner::Scan() {
  const std::vector<serial::PortAddress> ports = discovery::PortsToScan(m_namedPorts, m_usbFilter);
  // A port that left the walk was unplugged: whatever comes back on its path is a new device,
  // owed a probe at once, not the back-off of the silent one before it, and its holders are
  // waited for first.
  std::erase_if(m_ports, [&](const auto& entry) {
    return std::none_of(ports.begin(), ports.end(),
                        [&](const serial::PortAddress& port) { return port.path == entry.first; });
  });
  const std::vector<serial::PortAddress> due = FreeOfHolders(Due(ports));
  for (const serial::PortAddress& port : ports) {
    m_ports[port.path].seen = true;
  }
  ++m_rounds;
  const std::vector<discovery::Probe> probes = discovery::ProbePorts(due);
  m_newFailures.clear();
  m_lastRoundProbes = 0;
  for (const discovery::Probe& probe : probes) {
    m_lastRoundProbes += probe.opened ? 1 : 0;
    Remember(probe);
  }
  discovery::AssembleScan(probes, *m_table, m_log);
}

std::vector<serial::PortFailure> Rescanner::CurrentFailures() const {
  std::vector<serial::PortFailure> failures;
  for (const auto& [path, state] : m_ports) {
    if (state.failure.error != serial::PortError::None) {
      failures.push_back(state.failure);
    }
  }
  return failures;
}

}  // namespace lumaflash::cli
