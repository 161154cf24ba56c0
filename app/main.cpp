// lumaflash: the window that finds devices in bootloader mode and updates their firmware.
#include "lumaflash_app.h"
#include "platform/process_start.h"

int main(int argc, char** argv) {
  lumaflash::platform::PrepareProcess();
  lumaflash::app::CLumaflashApp application;
  return application.Run(argc, argv);
}
