#include <signal.h>

#include <array>
#include <cstddef>

#include "core/platform/stop_signals.h"

namespace lumaflash::platform {

namespace {

constexpr std::array<int, 3> kStopSignals{SIGINT, SIGTERM, SIGHUP};

// Lock-free, so storing to it is safe in a signal handler.
std::atomic<bool> g_stopRequested{false};

struct Installed {
  std::array<struct sigaction, kStopSignals.size()> previous{};
  std::array<bool, kStopSignals.size()> replaced{};
};
Installed g_installed;

void OnStopSignal(int) {
  g_stopRequested.store(true);
}

}  // namespace

std::atomic<bool>& StopRequested() {
  return g_stopRequested;
}

StopSignals::StopSignals() {
  g_stopRequested.store(false);
  struct sigaction stop {};
  stop.sa_handler = OnStopSignal;
  sigemptyset(&stop.sa_mask);
  stop.sa_flags = SA_RESTART;
  for (std::size_t i = 0; i < kStopSignals.size(); ++i) {
    struct sigaction& previous = g_installed.previous[i];
    g_installed.replaced[i] = false;
    if (::sigaction(kStopSignals[i], nullptr, &previous) != 0 || previous.sa_handler == SIG_IGN) {
      continue;  // nohup, or a background job whose Ctrl+C the shell keeps away: so be it
    }
    g_installed.replaced[i] = ::sigaction(kStopSignals[i], &stop, nullptr) == 0;
  }
}

StopSignals::~StopSignals() {
  for (std::size_t i = 0; i < kStopSignals.size(); ++i) {
    if (g_installed.replaced[i]) {
      (void)::sigaction(kStopSignals[i], &g_installed.previous[i], nullptr);
    }
  }
}

}  // namespace lumaflash::platform
