#include <windows.h>

#include <algorithm>

#include "core/serial/port_watch.h"

namespace lumaflash::serial {

// Windows keeps the timed rescan. An event-driven version would register for
// GUID_DEVINTERFACE_COMPORT arrivals with CM_Register_Notification and wake Wait() from its
// callback.
struct PortWatch::Impl {};

PortWatch::PortWatch() : m_impl(std::make_unique<Impl>()) {}

PortWatch::~PortWatch() = default;

bool PortWatch::Wait(std::chrono::milliseconds timeout, const std::atomic<bool>& stop) {
  constexpr std::chrono::milliseconds kStopCheck{50};
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  while (!stop.load()) {
    const auto left =
        std::chrono::ceil<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
    if (left.count() <= 0) {
      break;
    }
    ::Sleep(static_cast<DWORD>(std::min(left, kStopCheck).count()));
  }
  return false;
}

}  // namespace lumaflash::serial
