#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <unistd.h>

#include <array>
#include <atomic>
#include <cerrno>
#include <cstddef>
#include <mutex>
#include <system_error>
#include <thread>

#include "core/platform/stop_signals.h"

namespace lumaflash::platform {

namespace {

constexpr std::array<int, 3> kStopSignals{SIGINT, SIGTERM, SIGHUP};
constexpr char kStopByte = 's';  // from the handler: a signal came
constexpr char kQuitByte = 'q';  // from the StopSignals that ends: the bridge ends too

// A signal handler may do next to nothing: it writes one byte to this pipe (write() is
// async-signal-safe), and the bridge thread reads it and requests the stop, which runs the
// stop's callbacks on an ordinary thread. The pipe is made once and never closed, so that a
// handler that runs while a StopSignals ends cannot write to a descriptor reused since.
struct WakePipe {
  int read = -1;
  int write = -1;
};

// Lock-free, so reading it is safe in a signal handler.
std::atomic<int> g_wakeWrite{-1};

WakePipe OpenWakePipe() {
  static std::mutex mutex;
  static WakePipe pipe;
  const std::lock_guard lock(mutex);
  std::array<int, 2> ends{-1, -1};
  // Non-blocking: a handler never waits, and a full pipe holds a stop already.
  if (pipe.read < 0 && ::pipe2(ends.data(), O_CLOEXEC | O_NONBLOCK) == 0) {
    pipe = {ends[0], ends[1]};
    g_wakeWrite.store(pipe.write);
  }
  return pipe;
}

void WriteWakeByte(char byte) {
  [[maybe_unused]] const ssize_t written = ::write(g_wakeWrite.load(), &byte, 1);
}

void OnStopSignal(int) {
  const int saved = errno;
  WriteWakeByte(kStopByte);
  errno = saved;
}

// Bytes a signal left after the last StopSignals ended belong to no stop of this one.
void DrainStale(int readEnd) {
  std::array<char, 64> stale{};
  while (::read(readEnd, stale.data(), stale.size()) > 0) {
  }
}

void Relay(const std::stop_token& ending, int readEnd, const std::stop_source& stop) {
  const std::stop_callback quit(ending, [] { WriteWakeByte(kQuitByte); });
  for (;;) {
    pollfd watch{readEnd, POLLIN, 0};
    if (::poll(&watch, 1, -1) < 0 && errno != EINTR) {
      return;
    }
    char byte = 0;
    if (::read(readEnd, &byte, 1) != 1) {
      continue;
    }
    if (byte == kStopByte) {
      stop.request_stop();
    }
    // Looked at after every byte too: a pipe full of stops has no room for the quit byte.
    if (byte == kQuitByte || ending.stop_requested()) {
      return;
    }
  }
}

}  // namespace

struct StopSignals::Bridge {
  std::array<struct sigaction, kStopSignals.size()> previous{};
  std::array<bool, kStopSignals.size()> replaced{};
  std::jthread relay;  // last: it ends before the handlers' record goes
};

StopSignals::StopSignals(std::stop_source stop) : m_bridge(std::make_unique<Bridge>()) {
  const WakePipe pipe = OpenWakePipe();
  if (pipe.read < 0) {
    return;  // no pipe to be had: the signals keep what they do
  }
  DrainStale(pipe.read);
  try {
    m_bridge->relay = std::jthread([readEnd = pipe.read, stop = std::move(stop)](
                                       const std::stop_token& ending) { Relay(ending, readEnd, stop); });
  } catch (const std::system_error&) {
    return;  // a process limit: nothing would hear the handler, so none is installed
  }
  struct sigaction handler {};
  handler.sa_handler = OnStopSignal;
  sigemptyset(&handler.sa_mask);
  handler.sa_flags = SA_RESTART;
  for (std::size_t i = 0; i < kStopSignals.size(); ++i) {
    struct sigaction& previous = m_bridge->previous[i];
    if (::sigaction(kStopSignals[i], nullptr, &previous) != 0 || previous.sa_handler == SIG_IGN) {
      continue;  // nohup, or a background job whose Ctrl+C the shell keeps away: so be it
    }
    m_bridge->replaced[i] = ::sigaction(kStopSignals[i], &handler, nullptr) == 0;
  }
}

StopSignals::~StopSignals() {
  for (std::size_t i = 0; i < kStopSignals.size(); ++i) {
    if (m_bridge->replaced[i]) {
      (void)::sigaction(kStopSignals[i], &m_bridge->previous[i], nullptr);
    }
  }
  // The relay is asked to end and joined as the bridge goes.
}

}  // namespace lumaflash::platform
