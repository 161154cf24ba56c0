// Waiting for the server's socket on POSIX systems.
#include <poll.h>

#include <cerrno>

#include "core/records/pq_connection.h"

namespace lumaflash::records::pq {

SocketWait WaitForSocket(int socket, SocketEvent event, std::chrono::milliseconds timeout) {
  if (socket < 0) {
    return SocketWait::Failed;
  }
  // A writer also wakes for input: the server may answer (an error) before it has read all.
  pollfd watched{socket,
                 static_cast<short>(event == SocketEvent::Readable ? POLLIN : POLLIN | POLLOUT), 0};
  const int ready = ::poll(&watched, 1, static_cast<int>(timeout.count()));
  if (ready < 0) {
    // A signal (a stop request) is a reason to look at the limit again, not a failure.
    return errno == EINTR ? SocketWait::TimedOut : SocketWait::Failed;
  }
  // A hang-up or an error is left for libpq to read and report.
  return ready == 0 ? SocketWait::TimedOut : SocketWait::Ready;
}

}  // namespace lumaflash::records::pq
