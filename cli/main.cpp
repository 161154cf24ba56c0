// lumaflash-cli: scan for devices in bootloader mode, update one, or inspect an image file.
#include <cstdio>
#include <string>

#include "commands.h"
#include "exit_codes.h"
#include "options.h"
#include "platform/process_start.h"

int main(int argc, char** argv) {
  lumaflash::platform::PrepareProcess();
  using namespace lumaflash::cli;
  if (argc == 2 && (std::string(argv[1]) == "--help" || std::string(argv[1]) == "-h")) {
    std::fputs(kUsage, stdout);
    return kExitOk;
  }
  std::string error;
  auto options = ParseOptions(argc, argv, error);
  if (!options) {
    std::fprintf(stderr, "lumaflash-cli: %s\n%s", error.c_str(), kUsage);
    return kExitUsage;
  }
  if (options->command == "scan") {
    return RunScan(*options);
  }
  if (options->command == "flash") {
    return RunFlash(*options);
  }
  if (options->command == "ports") {
    return RunPorts(*options);
  }
  return RunInfo(*options);
}
