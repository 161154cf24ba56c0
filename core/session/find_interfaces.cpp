#include "core/session/find_interfaces.h"

#include "core/discovery/catalogue.h"
#include "core/discovery/scan.h"
#include "core/session/last_image.h"

namespace lumaflash::session {

std::vector<serial::PortAddress> PortsToScan(const Session& session) {
  return discovery::PortsToScan(session.namedPorts, session.usbFilter);
}

std::vector<serial::PortFailure> FailuresToTell(const std::vector<serial::PortFailure>& failures,
                                                bool named) {
  std::vector<serial::PortFailure> told;
  for (const serial::PortFailure& failure : failures) {
    if (named || failure.error == serial::PortError::Busy ||
        failure.error == serial::PortError::AccessDenied) {
      told.push_back(failure);
    }
  }
  return told;
}

std::vector<serial::PortFailure> ScanInterfaces(Session& session) {
  Feedback& feedback = session.feedback;
  feedback.ScanStarted();
  const std::vector<serial::PortAddress> ports = PortsToScan(session);
  feedback.SetProgressRange(static_cast<uint32_t>(ports.size()));
  feedback.SetProgressStep(1);
  feedback.SetProgressPosition(0);
  // The bar advances as each port's probe finishes, not all at once at the end.
  const std::vector<discovery::Probe> probes =
      discovery::ProbePorts(ports, discovery::kProbeThreads,
                            [&feedback](const discovery::Probe&) { feedback.StepProgress(); });
  discovery::AssembleScan(probes, session.interfaces, session.scanLog);
  feedback.ShowInterfaces(discovery::InterfaceRows(session.interfaces));
  feedback.AddStatus(discovery::FoundLine(session.interfaces.Count()), false);
  feedback.SetProgressPosition(0);
  if (session.recallLastImage) {
    RecallLastImage(session);
  }
  feedback.ScanEnded();
  std::vector<serial::PortFailure> failures;
  for (const discovery::Probe& probe : probes) {
    if (!probe.opened) {
      failures.push_back(probe.failure);
    }
  }
  return FailuresToTell(failures, !session.namedPorts.empty());
}

}  // namespace lumaflash::session
