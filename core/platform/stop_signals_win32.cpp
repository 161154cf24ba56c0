#include <windows.h>

#include <condition_variable>
#include <mutex>

#include "core/platform/stop_signals.h"
#include "core/platform/stop_signals_win32.h"

namespace lumaflash::platform {

namespace {

std::atomic<bool> g_stopRequested{false};

// Held by a live StopSignals: a close, logoff or shutdown event waits until it is let go.
std::mutex g_mutex;
std::condition_variable g_released;
bool g_guarding = false;

BOOL WINAPI OnConsoleEvent(DWORD event) {
  return HandleConsoleControl(event) ? TRUE : FALSE;
}

}  // namespace

bool HandleConsoleControl(unsigned long event) {
  switch (event) {
    case CTRL_C_EVENT:
    case CTRL_BREAK_EVENT:
      g_stopRequested.store(true);
      return true;
    case CTRL_CLOSE_EVENT:
    case CTRL_LOGOFF_EVENT:
    case CTRL_SHUTDOWN_EVENT: {
      g_stopRequested.store(true);
      // Windows ends the process the moment this handler returns: wait here (on the thread the
      // system started for the event) until the run has closed its port and written its record.
      std::unique_lock lock(g_mutex);
      g_released.wait(lock, [] { return !g_guarding; });
      return true;
    }
    default:
      return false;
  }
}

std::atomic<bool>& StopRequested() {
  return g_stopRequested;
}

StopSignals::StopSignals() {
  g_stopRequested.store(false);
  {
    const std::lock_guard lock(g_mutex);
    g_guarding = true;
  }
  SetConsoleCtrlHandler(OnConsoleEvent, TRUE);
}

StopSignals::~StopSignals() {
  {
    const std::lock_guard lock(g_mutex);
    g_guarding = false;
  }
  g_released.notify_all();
  SetConsoleCtrlHandler(OnConsoleEvent, FALSE);
}

}  // namespace lumaflash::platform
