// --version, help and manual pages of the programs: the overview of a program names every
// command, each command's help names its options, and the manual page names them all.
#include <gtest/gtest.h>

#include <regex>
#include <string>
#include <vector>

#include "tests/support/read_file.h"
#include "tests/support/run_program.h"
#include "tests/support/temp_dir.h"

namespace lumaflash {
namespace {

std::vector<std::string> Matches(const std::string& text, const std::string& pattern) {
  const std::regex regex(pattern);
  std::vector<std::string> found;
  for (std::sregex_iterator it(text.begin(), text.end(), regex), end; it != end; ++it) {
    found.push_back((*it)[1].str());
  }
  return found;
}

TEST(Help, EveryOptionOfTheHelpIsInTheManualPage) {
  testing::TempDir dir;
  std::vector<std::pair<std::string, std::string>> programs{{LUMAFLASH_CLI_PATH, "lumaflash-cli"},
                                                            {LUMAFLASH_SIM_PATH, "lumaflash-sim"}};
#ifdef LUMAFLASH_APP_PATH
  programs.emplace_back(LUMAFLASH_APP_PATH, "lumaflash");
#endif
  for (const auto& [path, name] : programs) {
    SCOPED_TRACE(name);
    const auto version = testing::RunProgram({path, "--version"}, dir.Path());
    EXPECT_EQ(version.exitCode, 0);
    EXPECT_EQ(version.out.rfind(name + " " + LUMAFLASH_VERSION, 0), 0u) << version.out;
    const auto overview = testing::RunProgram({path, "--help"}, dir.Path());
    std::string helps = overview.out;
    for (const std::string& command : Matches(overview.out, R"(\n  ([a-z]+)  )")) {
      const auto help = testing::RunProgram({path, "help", command}, dir.Path());
      EXPECT_EQ(help.exitCode, 0) << command << help.err;
      helps += help.out;
    }
    const auto options = Matches(helps, "(--[a-z][a-z-]*)");
    EXPECT_GE(options.size(), 3u);
    const std::string page =
        testing::ReadWholeFile(LUMAFLASH_SOURCE_DIR "/docs/man/" + name + ".1");
    for (const std::string& option : options) {
      EXPECT_NE(page.find(std::regex_replace(option, std::regex("-"), R"(\-)")), std::string::npos)
          << option << " is not in " << name << ".1";
    }
  }
}

}  // namespace
}  // namespace lumaflash
