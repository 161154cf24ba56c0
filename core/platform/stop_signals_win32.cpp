#include <windows.h>

#include <condition_variable>
#include <mutex>
#include <optional>

#include "core/platform/stop_signals.h"
#include "core/platform/stop_signals_win32.h"

namespace lumaflash::platform {

namespace {

// The stop of the live StopSignals. Windows runs the console's handler on a thread of its own,
// not inside an interrupted one, so the handler may request the stop itself.
std::mutex g_mutex;
std::optional<std::stop_source> g_stop;
// Held by a live StopSignals: a close, logoff or shutdown event waits until it is let go.
std::condition_variable g_released;
bool g_guarding = false;

BOOL WINAPI OnConsoleEvent(DWORD event) {
  return HandleConsoleControl(event) ? TRUE : FALSE;
}

void RequestStop() {
  std::optional<std::stop_source> stop;
  {
    const std::lock_guard lock(g_mutex);
    stop = g_stop;
  }
  if (stop) {
    stop->request_stop();  // its callbacks run here, without the lock
  }
}

}  // namespace

struct StopSignals::Bridge {};

bool HandleConsoleControl(unsigned long event) {
  switch (event) {
    case CTRL_C_EVENT:
    case CTRL_BREAK_EVENT:
      RequestStop();
      return true;
    case CTRL_CLOSE_EVENT:
    case CTRL_LOGOFF_EVENT:
    case CTRL_SHUTDOWN_EVENT: {
      RequestStop();
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

StopSignals::StopSignals(std::stop_source stop) {
  {
    const std::lock_guard lock(g_mutex);
    g_stop = std::move(stop);
    g_guarding = true;
  }
  SetConsoleCtrlHandler(OnConsoleEvent, TRUE);
}

StopSignals::~StopSignals() {
  {
    const std::lock_guard lock(g_mutex);
    g_stop.reset();
    g_guarding = false;
  }
  g_released.notify_all();
  SetConsoleCtrlHandler(OnConsoleEvent, FALSE);
}

}  // namespace lumaflash::platform
