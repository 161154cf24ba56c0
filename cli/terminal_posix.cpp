#include <sys/ioctl.h>
#include <unistd.h>

#include "cli/terminal.h"

namespace lumaflash::cli {

bool IsTerminal(std::FILE* out) {
  return ::isatty(::fileno(out)) != 0;
}

std::size_t TerminalColumns(std::FILE* out) {
  winsize size{};
  if (!IsTerminal(out) || ::ioctl(::fileno(out), TIOCGWINSZ, &size) != 0) {
    return 0;
  }
  return size.ws_col;
}

}  // namespace lumaflash::cli
