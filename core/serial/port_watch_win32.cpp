#include "core/platform/stoppable_pause.h"
#include "core/serial/port_watch.h"

namespace lumaflash::serial {

// Windows keeps the timed rescan. An event-driven version would register for
// GUID_DEVINTERFACE_COMPORT arrivals with CM_Register_Notification and wake Wait() from its
// callback.
struct PortWatch::Impl {};

PortWatch::PortWatch() : m_impl(std::make_unique<Impl>()) {}

PortWatch::~PortWatch() = default;

bool PortWatch::Wait(std::chrono::milliseconds timeout, const std::stop_token& stop) {
  (void)platform::PauseUnlessStopped(timeout, stop);
  return false;
}

}  // namespace lumaflash::serial
