#pragma once

#include <chrono>
#include <functional>
#include <stop_token>
#include <string>
#include <vector>

namespace lumaflash::serial {

// Another process that has a port open: its id and its name as the system shows it.
struct PortHolder {
  int pid = 0;
  std::string name;

  bool operator==(const PortHolder&) const = default;
};

// How long an update waits, by default, for another program to let go of its port.
inline constexpr std::chrono::seconds kDefaultHolderWait{10};

// The other processes that have the port at `path` open, in pid order. Leaves out this process
// and the far end of a pseudo-terminal (the process that holds its master, which is the device
// and not a rival). Only what the system lets us see: a user who is not root sees no other
// user's processes, and on Windows nothing is found.
std::vector<PortHolder> FindPortHolders(const std::string& path);
// The same for each of `paths`, in one pass over the system's processes.
std::vector<std::vector<PortHolder>> FindPortHoldersOf(const std::vector<std::string>& paths);

// How long a look for holders stands in for a new one. The pass over every process costs tens
// of milliseconds on a busy machine; a scan looks while its probes wait for their replies, so
// that the update that follows it at once does not pay for a pass between the device's reply
// and the start packet.
inline constexpr std::chrono::milliseconds kHolderLookFresh{1000};

// Looks for other holders of each of `paths` (one pass) and remembers what it saw and when.
void LookForHolders(const std::vector<std::string>& paths);

// Whether `path` was looked at within kHolderLookFresh.
bool RecentlyLooked(const std::string& path);

// "ModemManager (pid 812) has /dev/ttyACM0 open", or for several "a (pid 1) and b (pid 2) have
// ... open".
std::string HoldersText(const std::vector<PortHolder>& holders, const std::string& path);

// "ModemManager (pid 812) still has /dev/ttyACM0 open after 10 s; nothing was sent".
std::string StillHeldText(const std::vector<PortHolder>& holders, const std::string& path,
                          std::chrono::milliseconds waited);

// Waits up to `limit` for every other holder of `path` to let go, looking again every 50 ms. The
// first look is the one remembered from within kHolderLookFresh, when there is one.
// `tell` gets one line when holders are found ("...; waiting up to 10 s for it to let go").
// Returns the holders still there at the end, empty when the port is free. Stops early, with
// the holders still there, as soon as a stop is requested on `stop`.
std::vector<PortHolder> WaitForHolders(const std::string& path, std::chrono::milliseconds limit,
                                       const std::stop_token& stop,
                                       const std::function<void(const std::string&)>& tell);

}  // namespace lumaflash::serial
