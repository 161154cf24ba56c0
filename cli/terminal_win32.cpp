#include <io.h>
#include <windows.h>

#include "cli/terminal.h"

namespace lumaflash::cli {

bool IsTerminal(std::FILE* out) {
  return ::_isatty(::_fileno(out)) != 0;
}

std::size_t TerminalColumns(std::FILE* out) {
  if (!IsTerminal(out)) {
    return 0;
  }
  // _get_osfhandle gives the intptr_t of the console handle behind the C stream.
  HANDLE console = reinterpret_cast<HANDLE>(::_get_osfhandle(::_fileno(out)));
  CONSOLE_SCREEN_BUFFER_INFO info{};
  if (!::GetConsoleScreenBufferInfo(console, &info)) {
    return 0;
  }
  return static_cast<std::size_t>(info.srWindow.Right - info.srWindow.Left + 1);
}

}  // namespace lumaflash::cli
