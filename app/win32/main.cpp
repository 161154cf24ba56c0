// lumaflash.exe: the native Windows window that finds devices in bootloader mode and updates
// their firmware.
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>

#include <filesystem>
#include <string>

#include "app/controller/window_options.h"
#include "app/controller/window_records.h"
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
  const auto tell = [](const std::string& text) { TellOperator(text, true); };
  const auto recorder = StartWindowRecords(plan.options, tell);
  WindowSetup setup = SetupFor(plan.options, {}, std::filesystem::current_path());
  setup.recorder = recorder;
  const int status = RunWin32Window(std::move(setup));
  EndWindowRecords(recorder.get(), tell);
  return status;
}
