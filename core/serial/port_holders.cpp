#include <map>
#include <mutex>
#include <optional>

#include "core/platform/stoppable_pause.h"
#include "core/serial/port_holders.h"

namespace lumaflash::serial {

namespace {

constexpr std::chrono::milliseconds kHolderLook{50};

using Clock = std::chrono::steady_clock;

struct Look {
  Clock::time_point at;
  std::vector<PortHolder> holders;
};

// What the last look at each port saw, for every thread of the process.
class Looks {
 public:
  void Note(const std::vector<std::string>& paths, const std::vector<std::vector<PortHolder>>& seen,
            Clock::time_point at) {
    const std::lock_guard lock(m_mutex);
    for (std::size_t i = 0; i < paths.size() && i < seen.size(); ++i) {
      m_looks[paths[i]] = Look{at, seen[i]};
    }
  }
  std::optional<std::vector<PortHolder>> Recent(const std::string& path) {
    const std::lock_guard lock(m_mutex);
    const auto found = m_looks.find(path);
    if (found == m_looks.end() || Clock::now() - found->second.at > kHolderLookFresh) {
      return std::nullopt;
    }
    return found->second.holders;
  }

 private:
  std::mutex m_mutex;
  std::map<std::string, Look> m_looks;
};

Looks& RememberedLooks() {
  static Looks looks;
  return looks;
}

// A look counts from when it began: a holder that came during the pass may have been missed.
std::vector<std::vector<PortHolder>> LookNow(const std::vector<std::string>& paths) {
  const Clock::time_point began = Clock::now();
  std::vector<std::vector<PortHolder>> seen = FindPortHoldersOf(paths);
  RememberedLooks().Note(paths, seen, began);
  return seen;
}

}  // namespace

std::vector<PortHolder> FindPortHolders(const std::string& path) {
  return LookNow({path}).front();
}

void LookForHolders(const std::vector<std::string>& paths) {
  LookNow(paths);
}

bool RecentlyLooked(const std::string& path) {
  return RememberedLooks().Recent(path).has_value();
}

std::string HoldersText(const std::vector<PortHolder>& holders, const std::string& path) {
  std::string names;
  for (std::size_t i = 0; i < holders.size(); ++i) {
    if (i > 0) {
      names += i + 1 == holders.size() ? " and " : ", ";
    }
    names += holders[i].name + " (pid " + std::to_string(holders[i].pid) + ")";
  }
  return names + (holders.size() == 1 ? " has " : " have ") + path + " open";
}

std::string StillHeldText(const std::vector<PortHolder>& holders, const std::string& path,
                          std::chrono::milliseconds waited) {
  std::string text = HoldersText(holders, path);
  text.insert(text.rfind(holders.size() == 1 ? " has " : " have "), " still");
  return text + " after " +
         std::to_string(std::chrono::ceil<std::chrono::seconds>(waited).count()) +
         " s; nothing was sent";
}

std::vector<PortHolder> WaitForHolders(const std::string& path, std::chrono::milliseconds limit,
                                       const std::stop_token& stop,
                                       const std::function<void(const std::string&)>& tell) {
  std::optional<std::vector<PortHolder>> recent = RememberedLooks().Recent(path);
  std::vector<PortHolder> holders = recent ? std::move(*recent) : FindPortHolders(path);
  if (holders.empty()) {
    return holders;
  }
  const auto seconds = std::chrono::ceil<std::chrono::seconds>(limit).count();
  tell(HoldersText(holders, path) + "; waiting up to " + std::to_string(seconds) + " s for " +
       (holders.size() == 1 ? "it" : "them") + " to let go");
  // No event tells when another process closes a file, so look again at short intervals
  // until the deadline.
  const auto deadline = std::chrono::steady_clock::now() + limit;
  while (!holders.empty() && std::chrono::steady_clock::now() < deadline &&
         platform::PauseUnlessStopped(std::min<std::chrono::steady_clock::duration>(
                                          kHolderLook, deadline - std::chrono::steady_clock::now()),
                                      stop)) {
    holders = FindPortHolders(path);
  }
  return holders;
}

}  // namespace lumaflash::serial
