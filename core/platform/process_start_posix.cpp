#include <fcntl.h>
#include <signal.h>
#include <sys/prctl.h>
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
  // The protocol's pauses (10 ms after each block) are timed sleeps, which Linux may end up to
  // the thread's timer slack late, 50 us by default: over a 512-block update that is up to 26 ms
  // on the line. Threads started later inherit the slack.
  ::prctl(PR_SET_TIMERSLACK, 1000UL, 0UL, 0UL, 0UL);
}

}  // namespace lumaflash::platform
