#pragma once

#include <functional>
#include <optional>
#include <string>

#include "app/controller/window_controller.h"
#include "app/controller/window_view.h"

namespace lumaflash::app {

// The Win32 window's conversations that tests answer in place of a person. Empty members take
// the real thing: GetOpenFileNameW.
struct Win32Seams {
  std::function<std::optional<std::string>(const FileRequest& request)> chooseFile;
};

// The main window of lumaflash.exe: dialog template 102, a face of WindowController. Creates the
// window, shows it, sets it up (the first scan) and runs its message loop until it ends: closed
// by the operator, or after a successful update and the rescan that follows. Returns the
// program's exit status: 0, or 10 when the session's end stopped it.
int RunWin32Window(WindowSetup setup, Win32Seams seams = {});

}  // namespace lumaflash::app
