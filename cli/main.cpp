// lumaflash-cli: scan for devices in bootloader mode, update one, or inspect an image file.
#include <cstdio>
#include <string>
#include <vector>

#include "commands.h"
#include "exit_codes.h"
#include "options.h"
#include "platform/process_start.h"
#include "platform/text_path.h"

int main(int argc, char** argv) {
  lumaflash::platform::PrepareProcess();
  using namespace lumaflash::cli;
  // Paths on the command line arrive as UTF-8 on every system, whatever the code page.
  std::vector<std::string> arguments = lumaflash::platform::Utf8Arguments(argc, argv);
  std::vector<char*> utf8Argv{argv[0]};
  for (std::string& argument : arguments) {
    utf8Argv.push_back(argument.data());
  }
  utf8Argv.push_back(nullptr);
  argc = static_cast<int>(utf8Argv.size()) - 1;
  argv = utf8Argv.data();
  lumaflash::platform::UseUtf8Console();
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
  return RunInfo(*options);
}
