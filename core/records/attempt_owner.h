#pragma once

#include <string>

namespace lumaflash::records {

// An attempt's row names the process that writes it until the attempt is finished, so that a
// reader can tell an attempt that still runs from one whose program died (killed, crashed, a
// power cut): the machine's boot, the process id and the process's start time, which together
// never name two processes. Empty when the system tells none of it.
std::string ThisProcessOwner();

// Whether the process `owner` names still runs: on this machine, in this boot, the same process
// id with the same start time. False for an owner from an earlier boot or another machine (a
// copied store), whose attempt can never finish.
bool OwnerRuns(const std::string& owner);

}  // namespace lumaflash::records
