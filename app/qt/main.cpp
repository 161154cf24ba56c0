// lumaflash: the window that finds devices in bootloader mode and updates their firmware.
#include "app/qt/qt_app.h"
#include "core/platform/process_start.h"

int main(int argc, char** argv) {
  lumaflash::platform::PrepareProcess();
  lumaflash::app::QtApp application;
  return application.Run(argc, argv);
}
