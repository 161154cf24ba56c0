// lumaflash.exe: the native Windows window that finds devices in bootloader mode and updates
// their firmware.
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>

#include <cstdio>
#include <filesystem>
#include <string>

#include "app/controller/window_options.h"
#include "app/win32/win32_window.h"
#include "core/platform/text_path.h"

namespace {

// A window program has no console of its own: the text goes to the console it was started
// from, or into a message box when there is none.
void Tell(const std::string& text, bool error) {
  if (AttachConsole(ATTACH_PARENT_PROCESS) || GetStdHandle(STD_ERROR_HANDLE) != nullptr) {
    std::fputs(text.c_str(), error ? stderr : stdout);
    std::fflush(error ? stderr : stdout);
    return;
  }
  const std::wstring wide = lumaflash::platform::PathFromUtf8(text).wstring();
  MessageBoxW(nullptr, wide.c_str(), L"Lumaflash", error ? MB_OK | MB_ICONERROR : MB_OK);
}

}  // namespace

int main(int argc, char** argv) {
  using namespace lumaflash::app;
  const StartUp plan = PlanStartUp(lumaflash::platform::Utf8Arguments(argc, argv), kWin32Face);
  if (plan.exitCode) {
    Tell(plan.text, plan.error);
    return *plan.exitCode;
  }
  return RunWin32Window(SetupFor(plan.options, {}, std::filesystem::current_path()));
}
