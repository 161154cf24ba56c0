#pragma once

#include <vector>

#include "core/serial/port.h"
#include "core/session/session.h"

namespace lumaflash::session {

// The ports the session's scan opens: its named ones or the system's, through its USB filter.
std::vector<serial::PortAddress> PortsToScan(const Session& session);

// The Find command: probes the ports, fills the table and the scan log, shows the list and
// "%d Interfaces found", and recalls the last image when one interface is found. Returns why
// each port that could not be opened failed, for callers that named their ports.
std::vector<serial::PortFailure> ScanInterfaces(Session& session);

}  // namespace lumaflash::session
