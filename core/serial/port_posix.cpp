#include <fcntl.h>
#include <sys/file.h>
#include <sys/ioctl.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstring>
#include <optional>
#include <string>
#include <utility>

#include "core/serial/access_advice.h"
#include "core/serial/port.h"
#include "core/serial/system_calls.h"

namespace lumaflash::serial {

namespace {

using Clock = std::chrono::steady_clock;

// A write of one packet that takes longer than this means the line is stuck, not slow: 1024
// bytes at 115200 baud take under 100 ms.
constexpr std::chrono::milliseconds kWriteBudget{2000};

PortError ClassifyOpenError(int error) {
  switch (error) {
    case EACCES:
    case EPERM:
      return PortError::AccessDenied;
    case EBUSY:
    case EWOULDBLOCK:
      return PortError::Busy;
    case ENOENT:
    case ENODEV:
    case ENXIO:
    case ENOTDIR:
    case EIO:
      return PortError::NotFound;
    default:
      return PortError::Unusable;
  }
}

// A storm of signals must not hold the link forever: after this many interrupted attempts the
// call counts as failed (errno stays EINTR).
constexpr int kMaxInterruptedAttempts = 100;

int RetryOnInterrupt(auto call) {
  int result = 0;
  int attempts = 0;
  do {
    result = call();
  } while (result < 0 && errno == EINTR && ++attempts < kMaxInterruptedAttempts);
  return result;
}

void ApplyRawLine(termios& line) {
  cfmakeraw(&line);
  cfsetispeed(&line, B115200);
  cfsetospeed(&line, B115200);
  line.c_cflag &= ~static_cast<tcflag_t>(CSIZE | PARENB | CSTOPB | CRTSCTS);
  line.c_cflag |= CS8 | CREAD | CLOCAL;
  line.c_iflag &= ~static_cast<tcflag_t>(IXON | IXOFF | IXANY | INPCK | ISTRIP);
  // Reads never wait inside the driver; the exchange waits in poll() with its own deadline.
  line.c_cc[VMIN] = 0;
  line.c_cc[VTIME] = 0;
}

std::string PollEvents(short revents) {
  std::string names;
  for (auto [bit, name] : {std::pair{POLLIN, "POLLIN"}, std::pair{POLLHUP, "POLLHUP"},
                           std::pair{POLLERR, "POLLERR"}, std::pair{POLLNVAL, "POLLNVAL"}}) {
    if ((revents & bit) != 0) {
      names += names.empty() ? name : std::string("|") + name;
    }
  }
  return names.empty() ? "no event" : names;
}

int RemainingMs(Clock::time_point now, Clock::time_point deadline) {
  if (now >= deadline) {
    return 0;
  }
  // Round up, so that a wait of a fraction of a millisecond does not become a busy poll(0).
  auto remaining = std::chrono::ceil<std::chrono::milliseconds>(deadline - now);
  return static_cast<int>(remaining.count());
}

}  // namespace

struct PortLink::Impl {
  int fd = -1;
  std::string path;
  PortFailure failure;
  std::optional<termios> before;  // the line settings the port had when we opened it
  bool exclusive = false;         // we set TIOCEXCL, so we clear it again

  bool Fail(PortError error, int osError) {
    failure = PortFailure{error, osError, path};
    return false;
  }

  void MarkVanished(int osError, std::string evidence) {
    failure = PortFailure{PortError::Vanished, osError, path, std::move(evidence)};
  }

  bool Configure();
  bool WriteAll(std::span<const uint8_t> tx);
  uint32_t Collect(std::span<uint8_t> rx, int32_t timeoutMs);
  void Drain();
};

bool PortLink::Impl::Configure() {
  SystemCalls& sys = ActiveSystemCalls();
  // Root opens a tty that another program made exclusive; that program still owns it.
  int heldExclusive = 0;
  if (sys.Ioctl(fd, TIOCGEXCL, &heldExclusive) == 0 && heldExclusive != 0) {
    return Fail(PortError::Busy, EBUSY);
  }
  // The lock keeps out every other program that plays by the rules (another Lumaflash
  // included); TIOCEXCL keeps out the ones that do not look at locks.
  if (RetryOnInterrupt([&] { return sys.Flock(fd, LOCK_EX | LOCK_NB); }) < 0) {
    return Fail(errno == EWOULDBLOCK ? PortError::Busy : PortError::Unusable, errno);
  }
  if (sys.Ioctl(fd, TIOCEXCL, nullptr) < 0) {
    return Fail(PortError::Unusable, errno);
  }
  exclusive = true;
  termios line{};
  if (RetryOnInterrupt([&] { return sys.GetAttributes(fd, &line); }) < 0) {
    return Fail(PortError::Unusable, errno);
  }
  before = line;
  ApplyRawLine(line);
  if (RetryOnInterrupt([&] { return sys.SetAttributes(fd, TCSANOW, &line); }) < 0) {
    return Fail(PortError::Unusable, errno);
  }
  if (RetryOnInterrupt([&] { return sys.Flush(fd, TCIOFLUSH); }) < 0) {
    return Fail(PortError::Unusable, errno);
  }
  // Many bootloaders only talk once DTR is up; a port without modem lines (a pseudo-terminal)
  // refuses these, which does no harm.
  int dtr = TIOCM_DTR;
  int rts = TIOCM_RTS;
  (void)sys.Ioctl(fd, TIOCMBIS, &dtr);
  (void)sys.Ioctl(fd, TIOCMBIS, &rts);
  return true;
}

// Throws away whatever the device sent since the last exchange: the driver's queue, and what a
// pseudo-terminal may still hold in its own buffer after the flush.
void PortLink::Impl::Drain() {
  SystemCalls& sys = ActiveSystemCalls();
  (void)RetryOnInterrupt([&] { return sys.Flush(fd, TCIFLUSH); });
  std::array<uint8_t, kReceiveBufferSize> scratch{};
  for (int round = 0; round < 64; ++round) {
    ssize_t got = sys.Read(fd, scratch.data(), scratch.size());
    if (got <= 0 && !(got < 0 && errno == EINTR)) {
      return;
    }
  }
}

bool PortLink::Impl::WriteAll(std::span<const uint8_t> tx) {
  SystemCalls& sys = ActiveSystemCalls();
  const auto deadline = sys.Now() + kWriteBudget;
  std::size_t sent = 0;
  while (sent < tx.size()) {
    // Checked on every round, not only when the driver is full: interrupted or short writes
    // without end must not outlast the budget either.
    if (sys.Now() >= deadline) {
      MarkVanished(ETIMEDOUT, "write: no progress within the budget");
      return false;
    }
    ssize_t wrote = sys.Write(fd, tx.data() + sent, tx.size() - sent);
    if (wrote > 0) {
      sent += static_cast<std::size_t>(wrote);
      continue;
    }
    if (wrote < 0 && errno == EINTR) {
      continue;
    }
    if (wrote < 0 && errno != EAGAIN) {
      MarkVanished(errno, std::string("write: ") + std::strerror(errno));
      return false;
    }
    // The driver's buffer is full (or it took nothing): wait until it takes more.
    int waitMs = RemainingMs(sys.Now(), deadline);
    if (waitMs == 0) {
      MarkVanished(ETIMEDOUT, "write: no progress within the budget");
      return false;
    }
    pollfd watch{fd, POLLOUT, 0};
    int ready = sys.Poll(&watch, 1, waitMs);
    if (ready > 0 && (watch.revents & (POLLERR | POLLHUP | POLLNVAL)) != 0) {
      MarkVanished(EIO, "poll for writing: " + PollEvents(watch.revents));
      return false;
    }
  }
  return true;
}

uint32_t PortLink::Impl::Collect(std::span<uint8_t> rx, int32_t timeoutMs) {
  SystemCalls& sys = ActiveSystemCalls();
  const std::size_t wanted = std::min(rx.size(), kReceiveBufferSize);
  const auto deadline = sys.Now() + std::chrono::milliseconds(std::max<int32_t>(timeoutMs, 1));
  std::size_t count = 0;
  while (count < wanted) {
    int waitMs = RemainingMs(sys.Now(), deadline);
    if (waitMs == 0) {
      break;
    }
    pollfd watch{fd, POLLIN, 0};
    int ready = sys.Poll(&watch, 1, waitMs);
    if (ready < 0) {
      if (errno == EINTR || errno == EAGAIN) {
        continue;
      }
      MarkVanished(errno, std::string("poll: ") + std::strerror(errno));
      break;
    }
    if (ready == 0) {
      continue;  // the deadline is checked on the clock, not trusted to poll
    }
    if ((watch.revents & POLLIN) == 0) {
      MarkVanished(EIO, "poll: " + PollEvents(watch.revents));  // nothing left to read
      break;
    }
    ssize_t got = sys.Read(fd, rx.data() + count, wanted - count);
    if (got > 0) {
      count += static_cast<std::size_t>(got);
    } else if (got == 0) {
      // A hung-up tty reads as end of file, and poll() says so beside POLLIN.
      MarkVanished(EIO, "read: end of file after poll: " + PollEvents(watch.revents));
      break;
    } else if (errno != EINTR && errno != EAGAIN) {
      MarkVanished(errno, std::string("read: ") + std::strerror(errno));
      break;
    }
  }
  return static_cast<uint32_t>(count);
}

PortLink::PortLink() : m_impl(std::make_unique<Impl>()) {}

PortLink::~PortLink() {
  ClosePort();
}

bool PortLink::OpenPort(const PortAddress& address) {
  ClosePort();
  m_impl->path = address.path;
  m_impl->failure = {};
  SystemCalls& sys = ActiveSystemCalls();
  int fd = RetryOnInterrupt(
      [&] { return sys.Open(address.path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC); });
  if (fd < 0) {
    return m_impl->Fail(ClassifyOpenError(errno), errno);
  }
  m_impl->fd = fd;
  if (!m_impl->Configure()) {
    PortFailure why = m_impl->failure;
    ClosePort();
    m_impl->failure = why;
    return false;
  }
  return true;
}

bool PortLink::Exchange(std::span<const uint8_t> tx, std::span<uint8_t> rx, uint32_t& rxLength,
                        int32_t timeoutMs) {
  rxLength = 0;
  if (m_impl->fd < 0) {
    return false;
  }
  m_impl->Drain();
  if (!m_impl->WriteAll(tx)) {
    return true;  // nothing will answer a packet that did not go out; rxLength stays 0
  }
  rxLength = m_impl->Collect(rx, timeoutMs);
  return true;
}

void PortLink::ClosePort() {
  if (m_impl->fd < 0) {
    return;
  }
  SystemCalls& sys = ActiveSystemCalls();
  // Line settings belong to the tty, not to our descriptor: a terminal or console scanned by
  // mistake would otherwise stay raw, at our speed, without echo.
  if (m_impl->before) {
    (void)RetryOnInterrupt(
        [&] { return sys.SetAttributes(m_impl->fd, TCSANOW, &*m_impl->before); });
    m_impl->before.reset();
  }
  // The exclusive flag belongs to the tty, not to our descriptor: it would outlive the close
  // while anyone else keeps the tty open, and lock out the next program. Only a flag we set is
  // ours to clear; a busy port's flag belongs to the program that holds it.
  if (std::exchange(m_impl->exclusive, false)) {
    (void)sys.Ioctl(m_impl->fd, TIOCNXCL, nullptr);
  }
  // Never retried: after an interrupted close the descriptor is already gone and its number
  // may belong to someone else.
  (void)sys.Close(m_impl->fd);
  m_impl->fd = -1;
}

bool PortLink::IsOpen() const {
  return m_impl->fd >= 0;
}

const PortFailure& PortLink::LastFailure() const {
  return m_impl->failure;
}

std::string DescribePortFailure(const PortFailure& failure) {
  const std::string& port = failure.path;
  switch (failure.error) {
    case PortError::None:
      return port + ": no error.";
    case PortError::NotFound:
      return port +
             ": no such port. Check the cable and that the device is in bootloader "
             "mode, then try again.";
    case PortError::Busy:
      if (!failure.evidence.empty()) {  // the holders are known by name
        return failure.evidence +
               ". Close that program and try again; ModemManager leaves the port alone once the "
               "udev rule from lumaflash-cli udev-rule is installed.";
      }
      return port + " is busy: another program holds it. Close that program and try again.";
    case PortError::AccessDenied:
      return port + ": permission denied. " + AccessDeniedAdvice(port);
    case PortError::Vanished:
      return port +
             " vanished: the device was unplugged or reset. Plug it in again and "
             "retry." +
             (failure.evidence.empty() ? "" : " (" + failure.evidence + ")");
    case PortError::Unusable:
      return port + " cannot be used as a serial port (" + std::strerror(failure.osError) +
             "). Check that it is the device's port.";
  }
  return port;
}

}  // namespace lumaflash::serial
