#pragma once

#include <chrono>
#include <memory>
#include <stop_token>

namespace lumaflash::serial {

// Wakes a caller that waits for devices as soon as a serial port may have appeared, so that it
// looks at once instead of at its next timed rescan. On Linux it watches /dev (inotify); where
// it cannot watch, Wait() only waits.
class PortWatch {
 public:
  PortWatch();
  ~PortWatch();
  PortWatch(const PortWatch&) = delete;
  PortWatch& operator=(const PortWatch&) = delete;

  // Waits until a port may have appeared, `timeout` has passed or a stop is requested on
  // `stop` (which ends the wait at once). True when a port may have appeared. A burst of
  // changes (the node, then its permissions) counts once: it returns when the burst has
  // settled.
  bool Wait(std::chrono::milliseconds timeout, const std::stop_token& stop);

 private:
  struct Impl;
  std::unique_ptr<Impl> m_impl;
};

}  // namespace lumaflash::serial
