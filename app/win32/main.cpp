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
#include "app/win32/console_text.h"
#include "app/win32/win32_window.h"
#include "core/platform/text_path.h"
#include "lumaflash_version.h"

namespace {

constexpr const char* kUsage =
    "usage: lumaflash [--port COMn]... [--records PATH|off] [--station NAME] [FILE]\n"
    "       lumaflash --help | --version\n"
    "\n"
    "  --port COMn  scan only this port (repeatable)\n"
    "  --records PATH|off  keep a record of each update in this store (default:\n"
    "               %LOCALAPPDATA%\\Lumaflash\\records.sqlite); off keeps none\n"
    "  --station NAME  the station named in the records (default: the computer's name)\n"
    "  FILE         an image file: the first Firmware-Update opens the file dialog on it\n"
    "  without options COM1 to COM256 are scanned\n";

}  // namespace

int main(int argc, char** argv) {
  using namespace lumaflash::app;
  std::string error;
  const auto options = ParseAppOptions(lumaflash::platform::Utf8Arguments(argc, argv), error);
  if (!options) {
    TellOperator("lumaflash: " + error + "\n" + kUsage, true);
    return 2;
  }
  if (options->help) {
    TellOperator(kUsage, false);
    return 0;
  }
  if (options->version) {
    TellOperator(lumaflash::VersionLine("lumaflash") + "\n", false);
    return 0;
  }
  if (options->simulate > 0) {
    TellOperator(
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
  if (!options->image.empty()) {  // a file dropped on the program, or "Open with"
    setup.handedImage = lumaflash::platform::Utf8FromPath(
        std::filesystem::absolute(lumaflash::platform::PathFromUtf8(options->image)));
  }
  const int status = RunWin32Window(std::move(setup));
  EndWindowRecords(recorder.get(), tell);
  return status;
}
