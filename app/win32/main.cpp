// lumaflash.exe: the native Windows window that finds devices in bootloader mode and updates
// their firmware.
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>

#include <filesystem>
#include <string>

#include "app/controller/window_options.h"
#include "app/win32/console_text.h"
#include "app/win32/win32_window.h"
#include "core/platform/text_path.h"

int main(int argc, char** argv) {
  using namespace lumaflash::app;
  const StartUp plan = PlanStartUp(lumaflash::platform::Utf8Arguments(argc, argv), kWin32Face);
  if (plan.exitCode) {
    TellOperator(plan.text, plan.error);
    return *plan.exitCode;
  }
  return RunWin32Window(SetupFor(plan.options, {}, std::filesystem::current_path()));
}
