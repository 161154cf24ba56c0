#include "sim/pty_host.h"

#include <fcntl.h>
#include <poll.h>
#include <pthread.h>
#include <sched.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstring>

namespace lumaflash::sim {

namespace {

// A real bootloader answers within microseconds; the simulated one must not be kept from its
// 50 ms window by a loaded machine, or a test fails for no fault of the host. Where the system
// allows it (root, or a real-time limit), the serving thread runs ahead of ordinary work.
void AnswerAhead() {
  sched_param priority{};
  priority.sched_priority = 1;
  (void)::pthread_setschedparam(::pthread_self(), SCHED_FIFO, &priority);
}

void CloseIfOpen(int& fd) {
  if (fd >= 0) {
    ::close(fd);
    fd = -1;
  }
}

// The line must be raw from the start: with the tty's default echo, the device would read its
// own answers back as commands.
bool MakeRaw(int fd) {
  termios line{};
  if (::tcgetattr(fd, &line) != 0) {
    return false;
  }
  ::cfmakeraw(&line);
  return ::tcsetattr(fd, TCSANOW, &line) == 0;
}

void WriteAll(int fd, const std::vector<uint8_t>& bytes) {
  std::size_t sent = 0;
  while (sent < bytes.size()) {
    ssize_t wrote = ::write(fd, bytes.data() + sent, bytes.size() - sent);
    if (wrote > 0) {
      sent += static_cast<std::size_t>(wrote);
    } else if (wrote < 0 && errno == EAGAIN) {
      pollfd watch{fd, POLLOUT, 0};
      ::poll(&watch, 1, 10);
    } else if (!(wrote < 0 && errno == EINTR)) {
      return;
    }
  }
}

}  // namespace

PtyDevice::PtyDevice(DeviceConfig config, std::vector<FaultPlan> faults)
    : m_model(std::move(config), std::move(faults)) {}

std::string Describe(const HostError& error) {
  const std::string reason = std::strerror(error.osError);
  switch (error.step) {
    case HostError::Step::ServeTty:
      return "cannot serve on " + error.path + ": " + reason +
             " (it must be an existing tty that this user may open)";
    case HostError::Step::CreatePty:
      return "cannot create a pseudo-terminal: " + reason;
    case HostError::Step::NamePty:
      return "cannot name the pseudo-terminal: " + reason;
    case HostError::Step::SetUpPty:
      break;
  }
  return "cannot set up " + error.path + ": " + reason;
}

Expected<std::unique_ptr<PtyDevice>, HostError> PtyDevice::Start(DeviceConfig config,
                                                                 std::vector<FaultPlan> faults) {
  std::unique_ptr<PtyDevice> device(new PtyDevice(std::move(config), std::move(faults)));
  if (auto opened = device->Open(); !opened) {
    return MakeUnexpected(opened.error());
  }
  device->m_thread =
      std::jthread([raw = device.get()](const std::stop_token& stop) { raw->ServeGuarded(stop); });
  return device;
}

Expected<std::unique_ptr<PtyDevice>, HostError> PtyDevice::StartOnTty(
    const std::string& path, DeviceConfig config, std::vector<FaultPlan> faults) {
  std::unique_ptr<PtyDevice> device(new PtyDevice(std::move(config), std::move(faults)));
  if (auto opened = device->OpenTty(path); !opened) {
    return MakeUnexpected(opened.error());
  }
  device->m_thread =
      std::jthread([raw = device.get()](const std::stop_token& stop) { raw->ServeGuarded(stop); });
  return device;
}

Expected<void, HostError> PtyDevice::OpenTty(const std::string& path) {
  m_path = path;
  m_master = ::open(path.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC | O_NONBLOCK);
  if (m_master < 0 || !::isatty(m_master) || !MakeRaw(m_master) ||
      ::pipe2(m_wake, O_CLOEXEC | O_NONBLOCK) != 0) {
    const int error = errno;
    CloseIfOpen(m_master);
    return MakeUnexpected(HostError{HostError::Step::ServeTty, path, error});
  }
  return {};
}

Expected<void, HostError> PtyDevice::Open() {
  m_master = ::posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC | O_NONBLOCK);
  if (m_master < 0 || ::grantpt(m_master) != 0 || ::unlockpt(m_master) != 0) {
    return MakeUnexpected(HostError{HostError::Step::CreatePty, {}, errno});
  }
  std::array<char, 128> name{};
  if (::ptsname_r(m_master, name.data(), name.size()) != 0) {
    return MakeUnexpected(HostError{HostError::Step::NamePty, {}, errno});
  }
  m_path = name.data();
  m_slave = ::open(m_path.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC | O_NONBLOCK);
  if (m_slave < 0 || !MakeRaw(m_slave) || ::pipe2(m_wake, O_CLOEXEC | O_NONBLOCK) != 0) {
    return MakeUnexpected(HostError{HostError::Step::SetUpPty, m_path, errno});
  }
  return {};
}

PtyDevice::~PtyDevice() {
  Vanish();
  CloseIfOpen(m_wake[0]);
  CloseIfOpen(m_wake[1]);
}

DeviceModel PtyDevice::Snapshot() const {
  std::lock_guard lock(m_mutex);
  return m_model;
}

std::optional<HostLine> PtyDevice::ReadHostLine() const {
  std::lock_guard lock(m_mutex);
  HostLine line;
  int exclusive = 0;
  // The flag belongs to the far end, so it is asked there, through the end this object holds.
  if (m_slave < 0 || ::tcgetattr(m_master, &line.settings) != 0 ||
      ::ioctl(m_slave, TIOCGEXCL, &exclusive) != 0) {
    return std::nullopt;
  }
  line.exclusive = exclusive != 0;
  return line;
}

void PtyDevice::Vanish() {
  // The serving thread is stopped first, so that no descriptor is closed under its poll().
  m_thread.request_stop();
  if (m_thread.joinable()) {
    m_thread.join();
  }
  std::lock_guard lock(m_mutex);
  HangUp();
}

void PtyDevice::HangUp() {
  CloseIfOpen(m_slave);
  CloseIfOpen(m_master);
  m_pending.clear();
  m_hungUp = true;
}

void PtyDevice::SendDue(Clock::time_point now) {
  auto due = std::stable_partition(m_pending.begin(), m_pending.end(),
                                   [now](const Pending& p) { return p.due <= now; });
  for (auto it = m_pending.begin(); it != due; ++it) {
    WriteAll(m_master, it->bytes);
  }
  m_pending.erase(m_pending.begin(), due);
}

int PtyDevice::MsToNextReply(Clock::time_point now) const {
  if (m_pending.empty()) {
    return -1;
  }
  const auto next =
      std::min_element(m_pending.begin(), m_pending.end(), [](const Pending& a, const Pending& b) {
        return a.due < b.due;
      })->due;
  const auto left = std::chrono::ceil<std::chrono::milliseconds>(next - now);
  return static_cast<int>(std::max<int64_t>(left.count(), 0));
}

void PtyDevice::ServeGuarded(const std::stop_token& stop) {
  try {
    Serve(stop);
  } catch (...) {
    const std::lock_guard lock(m_mutex);
    HangUp();
  }
}

void PtyDevice::Serve(const std::stop_token& stop) {
  AnswerAhead();
  const std::stop_callback wake(stop, [this] {
    const char byte = 0;
    // A full pipe already wakes the thread, so a failed write changes nothing.
    [[maybe_unused]] const ssize_t woken = ::write(m_wake[1], &byte, 1);
  });
  std::array<uint8_t, 4096> buffer{};
  for (;;) {
    int waitMs = -1;
    int master = -1;
    {
      std::lock_guard lock(m_mutex);
      if (m_hungUp) {
        return;
      }
      master = m_master;
      SendDue(Clock::now());
      waitMs = MsToNextReply(Clock::now());
    }
    std::array<pollfd, 2> watch{pollfd{master, POLLIN, 0}, pollfd{m_wake[0], POLLIN, 0}};
    if (::poll(watch.data(), watch.size(), waitMs) < 0 && errno != EINTR) {
      return;
    }
    if (watch[1].revents != 0) {
      return;
    }
    const bool lineDown = (watch[0].revents & (POLLHUP | POLLERR | POLLNVAL)) != 0;
    if ((watch[0].revents & POLLIN) == 0 && !lineDown) {
      continue;
    }
    std::lock_guard lock(m_mutex);
    if (m_hungUp) {
      return;
    }
    ssize_t got = ::read(m_master, buffer.data(), buffer.size());
    if (got == 0 || (got < 0 && errno != EAGAIN && errno != EINTR) || (got < 0 && lineDown)) {
      // A served tty was hung up (a gadget's port when the USB link is cut); it stays dead, so
      // the device ends here rather than spin on it. The pty's own end never gets here: its
      // slave side is held open.
      HangUp();
      return;
    }
    if (got < 0) {
      continue;
    }
    const auto now = Clock::now();
    Response response = m_model.Receive(
        std::span<const uint8_t>(buffer.data(), static_cast<std::size_t>(got)), now);
    if (response.vanish) {
      HangUp();
      return;
    }
    for (Reply& reply : response.replies) {
      m_pending.push_back(Pending{now + reply.delay, std::move(reply.bytes)});
    }
    SendDue(now);
  }
}

}  // namespace lumaflash::sim
