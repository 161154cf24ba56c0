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

#include "core/serial/os_port.h"
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

class PosixPort final : public OsPort {
 public:
  PosixPort() = default;
  ~PosixPort() override { Close(); }
  PosixPort(const PosixPort&) = delete;
  PosixPort& operator=(const PosixPort&) = delete;

  Expected<void, PortFailure> Open(const std::string& path) override;
  Expected<void, PortFailure> Configure() override;
  void DiscardInput() override;
  Expected<void, PortFailure> WriteAll(std::span<const uint8_t> tx) override;
  Collected Collect(std::span<uint8_t> rx, int32_t timeoutMs) override;
  void Close() override;
  bool IsOpen() const override { return m_fd >= 0; }

 private:
  PortFailure Vanished(int osError, std::string evidence) const {
    return Failure(PortError::Vanished, osError, std::move(evidence));
  }

  int m_fd = -1;
  std::optional<termios> m_before;  // the line settings the port had when we opened it
  bool m_exclusive = false;         // we set TIOCEXCL, so we clear it again
};

Expected<void, PortFailure> PosixPort::Open(const std::string& path) {
  SystemCalls& sys = ActiveSystemCalls();
  const int fd = RetryOnInterrupt(
      [&] { return sys.Open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC); });
  if (fd < 0) {
    return Fail(ClassifyOpenError(errno), errno);
  }
  m_fd = fd;
  return {};
}

Expected<void, PortFailure> PosixPort::Configure() {
  SystemCalls& sys = ActiveSystemCalls();
  // Root opens a tty that another program made exclusive; that program still owns it.
  int heldExclusive = 0;
  if (sys.Ioctl(m_fd, TIOCGEXCL, &heldExclusive) == 0 && heldExclusive != 0) {
    return Fail(PortError::Busy, EBUSY);
  }
  // The lock keeps out every other program that plays by the rules (another Lumaflash
  // included); TIOCEXCL keeps out the ones that do not look at locks.
  if (RetryOnInterrupt([&] { return sys.Flock(m_fd, LOCK_EX | LOCK_NB); }) < 0) {
    return Fail(errno == EWOULDBLOCK ? PortError::Busy : PortError::Unusable, errno);
  }
  if (sys.Ioctl(m_fd, TIOCEXCL, nullptr) < 0) {
    return Fail(PortError::Unusable, errno);
  }
  m_exclusive = true;
  termios line{};
  if (RetryOnInterrupt([&] { return sys.GetAttributes(m_fd, &line); }) < 0) {
    return Fail(PortError::Unusable, errno);
  }
  m_before = line;
  ApplyRawLine(line);
  if (RetryOnInterrupt([&] { return sys.SetAttributes(m_fd, TCSANOW, &line); }) < 0) {
    return Fail(PortError::Unusable, errno);
  }
  if (RetryOnInterrupt([&] { return sys.Flush(m_fd, TCIOFLUSH); }) < 0) {
    return Fail(PortError::Unusable, errno);
  }
  // Many bootloaders only talk once DTR is up; a port without modem lines (a pseudo-terminal)
  // refuses these, which does no harm.
  int dtr = TIOCM_DTR;
  int rts = TIOCM_RTS;
  (void)sys.Ioctl(m_fd, TIOCMBIS, &dtr);
  (void)sys.Ioctl(m_fd, TIOCMBIS, &rts);
  return {};
}

// Throws away whatever the device sent since the last exchange: the driver's queue, and what a
// pseudo-terminal may still hold in its own buffer after the flush.
void PosixPort::DiscardInput() {
  SystemCalls& sys = ActiveSystemCalls();
  (void)RetryOnInterrupt([&] { return sys.Flush(m_fd, TCIFLUSH); });
  std::array<uint8_t, kReceiveBufferSize> scratch{};
  for (int round = 0; round < 64; ++round) {
    ssize_t got = sys.Read(m_fd, scratch.data(), scratch.size());
    if (got <= 0 && !(got < 0 && errno == EINTR)) {
      return;
    }
  }
}

Expected<void, PortFailure> PosixPort::WriteAll(std::span<const uint8_t> tx) {
  SystemCalls& sys = ActiveSystemCalls();
  const auto deadline = sys.Now() + kWriteBudget;
  std::size_t sent = 0;
  while (sent < tx.size()) {
    // Checked on every round, not only when the driver is full: interrupted or short writes
    // without end must not outlast the budget either.
    if (sys.Now() >= deadline) {
      return MakeUnexpected(Vanished(ETIMEDOUT, "write: no progress within the budget"));
    }
    ssize_t wrote = sys.Write(m_fd, tx.data() + sent, tx.size() - sent);
    if (wrote > 0) {
      sent += static_cast<std::size_t>(wrote);
      continue;
    }
    if (wrote < 0 && errno == EINTR) {
      continue;
    }
    if (wrote < 0 && errno != EAGAIN) {
      return MakeUnexpected(Vanished(errno, std::string("write: ") + std::strerror(errno)));
    }
    // The driver's buffer is full (or it took nothing): wait until it takes more.
    int waitMs = RemainingMs(sys.Now(), deadline);
    if (waitMs == 0) {
      return MakeUnexpected(Vanished(ETIMEDOUT, "write: no progress within the budget"));
    }
    pollfd watch{m_fd, POLLOUT, 0};
    int ready = sys.Poll(&watch, 1, waitMs);
    if (ready > 0 && (watch.revents & (POLLERR | POLLHUP | POLLNVAL)) != 0) {
      return MakeUnexpected(Vanished(EIO, "poll for writing: " + PollEvents(watch.revents)));
    }
  }
  return {};
}

Collected PosixPort::Collect(std::span<uint8_t> rx, int32_t timeoutMs) {
  SystemCalls& sys = ActiveSystemCalls();
  const std::size_t wanted = std::min(rx.size(), kReceiveBufferSize);
  const auto deadline = sys.Now() + std::chrono::milliseconds(std::max<int32_t>(timeoutMs, 1));
  Collected reply;
  std::size_t count = 0;
  while (count < wanted) {
    int waitMs = RemainingMs(sys.Now(), deadline);
    if (waitMs == 0) {
      break;
    }
    pollfd watch{m_fd, POLLIN, 0};
    int ready = sys.Poll(&watch, 1, waitMs);
    if (ready < 0) {
      if (errno == EINTR || errno == EAGAIN) {
        continue;
      }
      reply.ended = Vanished(errno, std::string("poll: ") + std::strerror(errno));
      break;
    }
    if (ready == 0) {
      continue;  // the deadline is checked on the clock, not trusted to poll
    }
    if ((watch.revents & POLLIN) == 0) {
      reply.ended = Vanished(EIO, "poll: " + PollEvents(watch.revents));  // nothing left to read
      break;
    }
    ssize_t got = sys.Read(m_fd, rx.data() + count, wanted - count);
    if (got > 0) {
      count += static_cast<std::size_t>(got);
    } else if (got == 0) {
      // A hung-up tty reads as end of file, and poll() says so beside POLLIN.
      reply.ended = Vanished(EIO, "read: end of file after poll: " + PollEvents(watch.revents));
      break;
    } else if (errno != EINTR && errno != EAGAIN) {
      reply.ended = Vanished(errno, std::string("read: ") + std::strerror(errno));
      break;
    }
  }
  reply.count = static_cast<uint32_t>(count);
  return reply;
}

void PosixPort::Close() {
  if (m_fd < 0) {
    return;
  }
  SystemCalls& sys = ActiveSystemCalls();
  // Line settings belong to the tty, not to our descriptor: a terminal or console scanned by
  // mistake would otherwise stay raw, at our speed, without echo.
  if (m_before) {
    (void)RetryOnInterrupt([&] { return sys.SetAttributes(m_fd, TCSANOW, &*m_before); });
    m_before.reset();
  }
  // The exclusive flag belongs to the tty, not to our descriptor: it would outlive the close
  // while anyone else keeps the tty open, and lock out the next program. Only a flag we set is
  // ours to clear; a busy port's flag belongs to the program that holds it.
  if (std::exchange(m_exclusive, false)) {
    (void)sys.Ioctl(m_fd, TIOCNXCL, nullptr);
  }
  // Never retried: after an interrupted close the descriptor is already gone and its number
  // may belong to someone else.
  (void)sys.Close(m_fd);
  m_fd = -1;
}

}  // namespace

std::unique_ptr<OsPort> MakeOsPort() {
  return std::make_unique<PosixPort>();
}

}  // namespace lumaflash::serial
