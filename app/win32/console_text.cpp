#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>

#include <cstdio>

#include "app/win32/console_text.h"
#include "core/platform/text_path.h"

namespace lumaflash::app {

namespace {

bool HasStandardHandle(bool error) {
  const HANDLE handle = GetStdHandle(error ? STD_ERROR_HANDLE : STD_OUTPUT_HANDLE);
  return handle != nullptr && handle != INVALID_HANDLE_VALUE;
}

bool AttachParentConsole() {
  if (!AttachConsole(ATTACH_PARENT_PROCESS)) {
    return false;
  }
  // A program built for the window subsystem started with no standard streams; they must be
  // opened on the console it has just joined.
  return std::freopen("CONOUT$", "w", stdout) != nullptr &&
         std::freopen("CONOUT$", "w", stderr) != nullptr;
}

void ShowMessageBox(const std::wstring& text, bool error) {
  MessageBoxW(nullptr, text.c_str(), L"Lumaflash", error ? MB_OK | MB_ICONERROR : MB_OK);
}

}  // namespace

void TellOperator(const std::string& text, bool error, const ConsoleSeams& seams) {
  const auto hasHandle = seams.hasStandardHandle ? seams.hasStandardHandle : HasStandardHandle;
  const auto attach = seams.attachParentConsole ? seams.attachParentConsole : AttachParentConsole;
  const auto box = seams.messageBox ? seams.messageBox : ShowMessageBox;
  if (hasHandle(error) || attach()) {
    std::FILE* stream = error ? stderr : stdout;
    std::fputs(text.c_str(), stream);
    std::fflush(stream);
    return;
  }
  box(platform::PathFromUtf8(text).wstring(), error);
}

}  // namespace lumaflash::app
