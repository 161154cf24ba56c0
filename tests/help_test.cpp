// Help, version and manual pages of the installed programs, and the progress line on a narrow
// terminal.
#include <gtest/gtest.h>
#include <pty.h>
#include <sys/wait.h>
#include <unistd.h>

#include <regex>
#include <set>
#include <string>
#include <vector>

#include "sim/image_file.h"
#include "support/read_file.h"
#include "support/run_program.h"
#include "support/sim_devices.h"
#include "support/temp_dir.h"

namespace lumaflash {
namespace {

struct Program {
  std::string path;
  std::string name;
};

std::vector<Program> Programs() {
  std::vector<Program> programs{{LUMAFLASH_CLI_PATH, "lumaflash-cli"},
                                {LUMAFLASH_SIM_PATH, "lumaflash-sim"}};
#ifdef LUMAFLASH_APP_PATH
  programs.push_back({LUMAFLASH_APP_PATH, "lumaflash"});
#endif
  return programs;
}

TEST(Help, EveryOptionOfTheHelpIsInTheManualPage) {
  testing::TempDir dir;
  for (const Program& program : Programs()) {
    SCOPED_TRACE(program.name);
    const std::string page = testing::ReadWholeFile(std::string(LUMAFLASH_SOURCE_DIR "/docs/man/") +
                                                    program.name + ".1");
    ASSERT_FALSE(page.empty());
    auto version = testing::RunProgram({program.path, "--version"}, dir.Path());
    EXPECT_EQ(version.exitCode, 0);
    EXPECT_EQ(version.out.rfind(program.name + " " + LUMAFLASH_VERSION, 0), 0u) << version.out;
    // The overview of the command line names every command; each command's help its options.
    std::vector<std::vector<std::string>> helps{{program.path, "--help"}};
    const std::regex command(R"(\n  ([a-z]+)  )");
    auto overview = testing::RunProgram(helps.front(), dir.Path());
    for (std::sregex_iterator it(overview.out.begin(), overview.out.end(), command), end; it != end;
         ++it) {
      helps.push_back({program.path, "help", (*it)[1]});
    }
    std::set<std::string> options;
    for (const auto& argv : helps) {
      auto help = testing::RunProgram(argv, dir.Path());
      EXPECT_EQ(help.exitCode, 0) << argv.back() << help.err;
      const std::regex option(R"(--[a-z][a-z-]*)");
      for (std::sregex_iterator it(help.out.begin(), help.out.end(), option), end; it != end;
           ++it) {
        options.insert(it->str());
      }
    }
    EXPECT_GE(options.size(), 3u);
    for (const std::string& option : options) {
      EXPECT_NE(page.find(std::regex_replace(option, std::regex("-"), R"(\-)")), std::string::npos)
          << option << " is not in " << program.name << ".1";
    }
  }
}

// Runs the command-line tool on a pseudo-terminal `columns` wide; returns what it drew.
std::string OnTerminal(const std::vector<std::string>& args, unsigned short columns) {
  winsize size{};
  size.ws_row = 24;
  size.ws_col = columns;
  int terminal = -1;
  const pid_t pid = ::forkpty(&terminal, nullptr, nullptr, &size);
  if (pid == 0) {
    std::vector<char*> argv{const_cast<char*>(LUMAFLASH_CLI_PATH)};
    for (const std::string& arg : args) {
      argv.push_back(const_cast<char*>(arg.c_str()));
    }
    argv.push_back(nullptr);
    ::execv(argv[0], argv.data());
    ::_exit(127);
  }
  std::string drawn;
  char buffer[4096];
  for (ssize_t got; (got = ::read(terminal, buffer, sizeof buffer)) > 0;) {
    drawn.append(buffer, static_cast<std::size_t>(got));
  }
  ::close(terminal);
  ::waitpid(pid, nullptr, 0);
  return drawn;
}

TEST(Help, ProgressFitsANarrowTerminal) {
  testing::TempDir dir;
  auto device = testing::StartDevice(testing::Device(0x3514, 64));
  const auto image =
      dir.Write("fw.bin", sim::BuildImageFile(1, 0x3514, sim::PatternPayload(3000, 4)));
  const std::string drawn = OnTerminal({"flash", image.string(), "--port", device->Path()}, 40);
  EXPECT_NE(drawn.find("100% 2.9/2.9 KiB 0:0"), std::string::npos) << drawn;
  EXPECT_NE(drawn.find("RUN application."), std::string::npos) << drawn;
  // Every redraw of the progress line, without the clear-to-end-of-line, fits in 39 columns.
  const std::string plain = std::regex_replace(drawn, std::regex("\x1b\\[K"), "");
  const std::regex piece("[^\r\n]*%[^\r\n]*");
  for (std::sregex_iterator it(plain.begin(), plain.end(), piece), end; it != end; ++it) {
    EXPECT_LT(it->length(), 40) << it->str();
  }
}

}  // namespace
}  // namespace lumaflash
