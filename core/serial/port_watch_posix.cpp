#include <poll.h>
#include <sys/eventfd.h>
#include <sys/inotify.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cstdint>
#include <cstring>
#include <filesystem>
#include <string>

#include "core/platform/stoppable_pause.h"
#include "core/serial/device_root.h"
#include "core/serial/port_watch.h"

namespace lumaflash::serial {

namespace {

using Clock = std::chrono::steady_clock;
// After the kernel makes a node, udev sets its group and mode a moment later; opening before
// that fails with "permission denied". Changes are gathered until this long passes quietly.
constexpr std::chrono::milliseconds kSettle{30};
constexpr std::chrono::milliseconds kLongestSettle{250};

int PollMs(Clock::duration left) {
  return static_cast<int>(std::clamp<long long>(
      std::chrono::ceil<std::chrono::milliseconds>(left).count(), 0, INT32_MAX));
}

}  // namespace

struct PortWatch::Impl {
  int fd = -1;
  int wake = -1;  // an eventfd a stop request writes to, so that a wait ends at once
  std::filesystem::path ttyClass;

  // Reads every queued change; true when one of them is a tty serial port.
  bool DrainChanges() const {
    alignas(inotify_event) std::array<char, 4096> buffer{};
    bool relevant = false;
    for (;;) {
      const ssize_t got = ::read(fd, buffer.data(), buffer.size());
      if (got <= 0) {
        return relevant;
      }
      for (ssize_t at = 0; at < got;) {
        inotify_event event{};
        std::memcpy(&event, buffer.data() + at, sizeof event);
        const char* name = buffer.data() + at + sizeof event;
        std::error_code error;
        // Only nodes of serial ports count; /dev changes for many other reasons.
        if (event.len > 0 &&
            std::filesystem::exists(ttyClass / std::string(name) / "device", error)) {
          relevant = true;
        }
        at += static_cast<ssize_t>(sizeof event + event.len);
      }
    }
  }

  // Waits up to `left` for a change to be readable, or until the wake descriptor is.
  bool Readable(Clock::duration left) const {
    std::array<pollfd, 2> watch{pollfd{fd, POLLIN, 0}, pollfd{wake, POLLIN, 0}};
    return ::poll(watch.data(), watch.size(), PollMs(left)) > 0 &&
           (watch[0].revents & POLLIN) != 0;
  }

  void Wake() const {
    const uint64_t one = 1;
    [[maybe_unused]] const ssize_t written = ::write(wake, &one, sizeof one);
  }

  // Forgets the wakes of earlier stops, before this wait begins.
  void ClearWake() const {
    uint64_t count = 0;
    [[maybe_unused]] const ssize_t got = ::read(wake, &count, sizeof count);
  }
};

PortWatch::PortWatch() : m_impl(std::make_unique<Impl>()) {
  const std::filesystem::path root = DeviceRoot();
  m_impl->ttyClass = root / "sys" / "class" / "tty";
  m_impl->fd = ::inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
  if (m_impl->fd >= 0 && ::inotify_add_watch(m_impl->fd, (root / "dev").c_str(),
                                             IN_CREATE | IN_MOVED_TO | IN_ATTRIB) < 0) {
    ::close(m_impl->fd);
    m_impl->fd = -1;
  }
  m_impl->wake = m_impl->fd < 0 ? -1 : ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
  if (m_impl->wake < 0 && m_impl->fd >= 0) {
    ::close(m_impl->fd);  // without a way to wake it, the watch would outlast a stop
    m_impl->fd = -1;
  }
}

PortWatch::~PortWatch() {
  for (const int open : {m_impl->fd, m_impl->wake}) {
    if (open >= 0) {
      ::close(open);
    }
  }
}

bool PortWatch::Wait(std::chrono::milliseconds timeout, const std::stop_token& stop) {
  if (m_impl->fd < 0) {
    (void)platform::PauseUnlessStopped(timeout, stop);
    return false;
  }
  const auto deadline = Clock::now() + timeout;
  m_impl->ClearWake();
  const std::stop_callback woken(stop, [this] { m_impl->Wake(); });
  while (!stop.stop_requested() && Clock::now() < deadline) {
    if (!m_impl->Readable(deadline - Clock::now()) || !m_impl->DrainChanges()) {
      continue;
    }
    const auto settleEnd = Clock::now() + kLongestSettle;
    while (Clock::now() < settleEnd && m_impl->Readable(kSettle)) {
      m_impl->DrainChanges();
    }
    return true;
  }
  return false;
}

}  // namespace lumaflash::serial
