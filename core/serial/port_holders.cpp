#include <thread>

#include "core/serial/port_holders.h"

namespace lumaflash::serial {

namespace {

constexpr std::chrono::milliseconds kHolderLook{50};

}  // namespace

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
                                       const std::atomic<bool>* stop,
                                       const std::function<void(const std::string&)>& tell) {
  std::vector<PortHolder> holders = FindPortHolders(path);
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
         (stop == nullptr || !stop->load())) {
    std::this_thread::sleep_for(std::min<std::chrono::steady_clock::duration>(
        kHolderLook, deadline - std::chrono::steady_clock::now()));
    holders = FindPortHolders(path);
  }
  return holders;
}

}  // namespace lumaflash::serial
