// lumaflash-cli: scan for devices in bootloader mode, update one, or inspect an image file.
#include <cstdio>
#include <string>
#include <vector>

#include "cli/commands.h"
#include "cli/exit_codes.h"
#include "cli/options.h"
#include "core/platform/process_start.h"
#include "core/platform/text_path.h"
#include "lumaflash_version.h"

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
  auto options = ParseOptions(argc, argv);
  if (!options) {
    std::fprintf(stderr, "lumaflash-cli: %s\n", options.error().text.c_str());
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
  if (options->command == "records" && !options->positional.empty() &&
      options->positional.front() == "serve") {
    return RunRecordsServe(*options);
  }
  if (options->command == "records") {
    return RunRecords(*options);
  }
  if (options->command == "udev-rule") {
    return RunUdevRule(*options);
  }
  if (options->command == "ports") {
    return RunPorts(*options);
  }
  return RunInfo(*options);
}
