#pragma once

#include <atomic>

namespace lumaflash::platform {

// The process-wide request to stop in order: set by Ctrl+C, SIGTERM and SIGHUP (on Windows by
// the console's Ctrl+C, Ctrl+Break, close, logoff and shutdown events) while a StopSignals
// lives. Whoever runs an update looks at it between two blocks.
std::atomic<bool>& StopRequested();

// While it lives, the stop signals set StopRequested() instead of ending the program, so that
// an update ends between two blocks with its port closed and its record written. A signal that
// was ignored when it was installed stays ignored (a program started under nohup keeps running
// when its terminal closes). On Windows a console close, logoff or shutdown is held until this
// guard is gone, because the system ends the process as soon as the handler returns.
class StopSignals {
 public:
  StopSignals();
  ~StopSignals();
  StopSignals(const StopSignals&) = delete;
  StopSignals& operator=(const StopSignals&) = delete;
};

}  // namespace lumaflash::platform
