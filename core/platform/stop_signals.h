#pragma once

#include <memory>
#include <stop_token>

namespace lumaflash::platform {

// While it lives, Ctrl+C, SIGTERM and SIGHUP (on Windows the console's Ctrl+C, Ctrl+Break,
// close, logoff and shutdown events) request a stop on `stop` instead of ending the program, so
// that an update ends between two blocks with its port closed and its record written. A signal
// that was ignored when it was installed stays ignored (a program started under nohup keeps
// running when its terminal closes). On Windows a console close, logoff or shutdown is held
// until this guard is gone, because the system ends the process as soon as the handler returns.
// One lives at a time. Where not even the thread that hears the signals can be started, the
// signals end the program as they would without it.
class StopSignals {
 public:
  explicit StopSignals(std::stop_source stop);
  ~StopSignals();
  StopSignals(const StopSignals&) = delete;
  StopSignals& operator=(const StopSignals&) = delete;

 private:
  struct Bridge;
  std::unique_ptr<Bridge> m_bridge;
};

}  // namespace lumaflash::platform
