#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <cerrno>

#include "core/platform/process_start.h"

namespace lumaflash::platform {

void PrepareProcess() {
  for (int fd = 0; fd <= 2; ++fd) {
    if (::fcntl(fd, F_GETFD) == -1 && errno == EBADF) {
      // open() takes the lowest free number, which is this one. Nothing sensible is left to do
      // when even /dev/null cannot be opened: the program then runs as it was started.
      const int opened = ::open("/dev/null", O_RDWR);
      if (opened > 2) {
        ::close(opened);
      }
    }
  }
  ::signal(SIGPIPE, SIG_IGN);
}

}  // namespace lumaflash::platform
