#include <poll.h>
#include <sys/inotify.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cstring>
#include <filesystem>
#include <string>

#include "core/serial/device_root.h"
#include "core/serial/port_watch.h"

namespace lumaflash::serial {

namespace {

using Clock = std::chrono::steady_clock;
constexpr std::chrono::milliseconds kStopCheck{50};
// After the kernel makes a node, udev sets its group and mode a moment later; opening before
// that fails with "permission denied". Changes are gathered until this long passes quietly.
constexpr std::chrono::milliseconds kSettle{30};
constexpr std::chrono::milliseconds kLongestSettle{250};

int PollMs(Clock::duration left) {
  return static_cast<int>(std::clamp<long long>(
      std::chrono::ceil<std::chrono::milliseconds>(left).count(), 0, kStopCheck.count()));
}

}  // namespace

struct PortWatch::Impl {
  int fd = -1;
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

  // Waits up to `left` for a change to be readable.
  bool Readable(Clock::duration left) const {
    pollfd watch{fd, POLLIN, 0};
    return ::poll(&watch, 1, PollMs(left)) > 0 && (watch.revents & POLLIN) != 0;
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
}

PortWatch::~PortWatch() {
  if (m_impl->fd >= 0) {
    ::close(m_impl->fd);
  }
}

bool PortWatch::Wait(std::chrono::milliseconds timeout, const std::atomic<bool>& stop) {
  const auto deadline = Clock::now() + timeout;
  while (!stop.load() && Clock::now() < deadline) {
    if (m_impl->fd < 0) {
      ::usleep(static_cast<useconds_t>(PollMs(deadline - Clock::now()) * 1000));
      continue;
    }
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
