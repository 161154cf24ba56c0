// Waiting for the server's socket on Windows, where libpq's socket is a Winsock SOCKET.
#include <winsock2.h>

#include "core/records/pq_connection.h"

namespace lumaflash::records::pq {

SocketWait WaitForSocket(int socket, SocketEvent event, std::chrono::milliseconds timeout) {
  if (socket < 0) {
    return SocketWait::Failed;
  }
  // A writer also wakes for input: the server may answer (an error) before it has read all.
  WSAPOLLFD watched{
      static_cast<SOCKET>(socket),
      static_cast<short>(event == SocketEvent::Readable ? POLLRDNORM : POLLRDNORM | POLLWRNORM), 0};
  const int ready = ::WSAPoll(&watched, 1, static_cast<INT>(timeout.count()));
  if (ready == SOCKET_ERROR) {
    return SocketWait::Failed;
  }
  // A hang-up or an error is left for libpq to read and report.
  return ready == 0 ? SocketWait::TimedOut : SocketWait::Ready;
}

}  // namespace lumaflash::records::pq
