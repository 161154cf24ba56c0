#pragma once

#include <vector>

#include "core/serial/port.h"
#include "core/session/session.h"

namespace lumaflash::session {

// The ports the session's scan opens: its named ones or the system's, through its USB filter.
std::vector<serial::PortAddress> PortsToScan(const Session& session);

// The failures of opening ports that a face tells the operator: every one of a port the operator
// named; of the system's ports only those worth acting on (busy, permission denied), for a port
// that does not exist or is no serial line is no news while every port is walked.
std::vector<serial::PortFailure> FailuresToTell(const std::vector<serial::PortFailure>& failures,
                                                bool named);

// The Find command: probes the ports, fills the table and the scan log, shows the list and
// "%d Interfaces found", and recalls the last image when one interface is found. Returns the
// failures to tell (FailuresToTell) of the ports that could not be opened.
std::vector<serial::PortFailure> ScanInterfaces(Session& session);

}  // namespace lumaflash::session
