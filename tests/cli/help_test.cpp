// --version, help and manual pages of the programs: each help lists each of its options once,
// in its usage and in its option list, and the manual page lists every option of the program
// once in its OPTIONS, and none that the program does not know.
#include <gtest/gtest.h>

#include <map>
#include <ostream>
#include <regex>
#include <set>
#include <string>
#include <vector>

#include "tests/support/read_file.h"
#include "tests/support/run_program.h"
#include "tests/support/temp_dir.h"

namespace lumaflash {
namespace {

struct Program {
  const char* name;
  const char* path;
  friend void PrintTo(const Program& program, std::ostream* out) { *out << program.name; }
};

std::vector<std::string> Matches(const std::string& text, const std::string& pattern) {
  const std::regex regex(pattern);
  std::vector<std::string> found;
  for (std::sregex_iterator it(text.begin(), text.end(), regex), end; it != end; ++it) {
    found.push_back((*it)[1].str());
  }
  return found;
}

// How often each option heads an entry of a help's option list ("  --port PATH   ...").
std::map<std::string, int> ListedOptions(const std::string& help) {
  std::map<std::string, int> listed;
  const std::string list = help.substr(std::min(help.find("\noptions:\n"), help.size()));
  for (const std::string& head : Matches(list, R"(\n  (-[^ \n]+(?: [^ \n]+)?(?:, --[a-z-]+)?))")) {
    for (const std::string& option : Matches(head, "(--[a-z][a-z-]*)")) {
      ++listed[option];
    }
  }
  return listed;
}

// How often each option heads an item of the manual page's OPTIONS section (the line after .TP).
std::map<std::string, int> ManualOptions(const std::string& page) {
  const std::size_t start = page.find("\n.SH OPTIONS\n");
  const std::string section = page.substr(start, page.find("\n.SH ", start + 1) - start);
  std::map<std::string, int> listed;
  for (const std::string& heading : Matches(section, R"(\n\.TP\n([^\n]*))")) {
    for (const std::string& option : Matches(heading, R"((\\-\\-[a-z][a-z\\-]*))")) {
      ++listed[std::regex_replace(option, std::regex(R"(\\-)"), "-")];
    }
  }
  return listed;
}

class Help : public ::testing::TestWithParam<Program> {};

TEST_P(Help, EachOptionOnceInItsHelpAndItsManualPage) {
  const Program& program = GetParam();
  testing::TempDir dir;
  const auto version = testing::RunProgram({program.path, "--version"}, dir.Path());
  EXPECT_EQ(version.exitCode, 0);
  EXPECT_EQ(version.out.rfind(std::string(program.name) + " " + LUMAFLASH_VERSION, 0), 0u)
      << version.out;
  const auto overview = testing::RunProgram({program.path, "--help"}, dir.Path());
  EXPECT_EQ(overview.exitCode, 0);
  std::vector<std::string> helps{overview.out};
  for (const std::string& command : Matches(overview.out, R"(\n  ([a-z]+)  )")) {
    const auto help = testing::RunProgram({program.path, "help", command}, dir.Path());
    EXPECT_EQ(help.exitCode, 0) << command << help.err;
    helps.push_back(help.out);
  }
  std::set<std::string> known;
  for (const std::string& help : helps) {
    const std::string usage = help.substr(0, help.find("\n\n"));
    for (const auto& [option, entries] : ListedOptions(help)) {
      EXPECT_EQ(entries, 1) << option << " in\n" << help;
      const auto inUsage = Matches(usage, R"(\[()" + option + R"()[ \]])").size();
      EXPECT_EQ(inUsage, option == "--help" || option == "--version" ? 0u : 1u) << option << " in\n"
                                                                                << usage;
    }
    for (const std::string& option : Matches(help, "(--[a-z][a-z-]*)")) {
      known.insert(option);
    }
  }
  EXPECT_GE(known.size(), 3u);
  const auto manual = ManualOptions(
      testing::ReadWholeFile(LUMAFLASH_SOURCE_DIR "/docs/man/" + std::string(program.name) + ".1"));
  for (const std::string& option : known) {
    EXPECT_EQ(manual.count(option), 1u) << option << " is not in " << program.name << ".1";
  }
  for (const auto& [option, items] : manual) {
    EXPECT_EQ(items, 1) << option << " heads " << items << " items of " << program.name << ".1";
    EXPECT_EQ(known.count(option), 1u)
        << program.name << ".1 lists " << option << ", which no help of the program knows";
  }
}

const Program kPrograms[] = {
    {"lumaflash-cli", LUMAFLASH_CLI_PATH},
    {"lumaflash-sim", LUMAFLASH_SIM_PATH},
#ifdef LUMAFLASH_APP_PATH
    {"lumaflash", LUMAFLASH_APP_PATH},
#endif
};

INSTANTIATE_TEST_SUITE_P(Programs, Help, ::testing::ValuesIn(kPrograms),
                         [](const ::testing::TestParamInfo<Program>& row) {
                           return std::regex_replace(row.param.name, std::regex("-"), "_");
                         });

}  // namespace
}  // namespace lumaflash
