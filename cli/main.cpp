// lumaflash-cli: scan for devices in bootloader mode, update one, or inspect an image file.
#include <cstdio>
#include <string>

#include "commands.h"
#include "exit_codes.h"
#include "lumaflash_version.h"
#include "options.h"
#include "platform/process_start.h"

int main(int argc, char** argv) {
  lumaflash::platform::PrepareProcess();
  using namespace lumaflash::cli;
  std::string error;
  auto options = ParseOptions(argc, argv, error);
  if (!options) {
    std::fprintf(stderr, "lumaflash-cli: %s\n", error.c_str());
    return kExitUsage;
  }
  if (options->command == "help") {
    std::fputs(HelpText(options->helpTopic).c_str(), stdout);
    return kExitOk;
  }
  if (options->command == "version") {
    std::printf("%s\n", lumaflash::VersionLine("lumaflash-cli").c_str());
    return kExitOk;
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
