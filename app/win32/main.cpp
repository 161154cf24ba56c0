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
#include "app/controller/window_records.h"
#include "app/win32/win32_window.h"
#include "core/platform/text_path.h"
#include "lumaflash_version.h"

namespace {

constexpr const char* kUsage =
    "usage: lumaflash [--port COMn]... [--records PATH|off] [--station NAME]\n"
    "       lumaflash --help | --version\n"
    "\n"
    "  --port COMn  scan only this port (repeatable)\n"
    "  --records PATH|off  keep a record of each update in this store (default:\n"
    "               %LOCALAPPDATA%\\Lumaflash\\records.sqlite); off keeps none\n"
    "  --station NAME  the station named in the records (default: the computer's name)\n"
    "  without options COM1 to COM256 are scanned\n";

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
  std::string error;
  const auto options = ParseAppOptions(lumaflash::platform::Utf8Arguments(argc, argv), error);
  if (!options) {
    Tell("lumaflash: " + error + "\n" + kUsage, true);
    return 2;
  }
  if (options->help) {
    Tell(kUsage, false);
    return 0;
  }
  if (options->version) {
    Tell(lumaflash::VersionLine("lumaflash") + "\n", false);
    return 0;
  }
  if (options->simulate > 0) {
    Tell(
        "lumaflash: --simulate needs pseudo-terminals, which Windows does not have; use "
        "--port COMn with a device attached.\n",
        true);
    return 2;
  }
  const auto tell = [](const std::string& text) { Tell(text, true); };
  const auto recorder = StartWindowRecords(*options, tell);
  WindowSetup setup;
  setup.ports = options->ports;
  setup.directory = std::filesystem::current_path();
  setup.recorder = recorder;
  const int status = RunWin32Window(std::move(setup));
  EndWindowRecords(recorder.get(), tell);
  return status;
}
