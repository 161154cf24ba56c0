// lumaflash-sim as a program: its usage errors, and --tty, which serves a tty it did not make.
#include <gtest/gtest.h>

#include <csignal>
#include <string>
#include <utility>
#include <vector>

#include "core/protocol/identify.h"
#include "tests/support/raw_pty.h"
#include "tests/support/run_program.h"
#include "tests/support/sim_devices.h"
#include "tests/support/temp_dir.h"

namespace lumaflash {
namespace {

using testing::Has;

// The simulator reads its options through the command line's table walk, in its own words.
TEST(Sim, UsageErrors) {
  testing::TempDir dir;
  const std::pair<std::vector<std::string>, std::string> cases[] = {
      {{"--count", "0"}, "\"0\" is no value for --count"},
      {{"--mix", "--count"}, "--count needs a value"},
      {{"--bogus"}, "unknown option --bogus"},
      {{"extra"}, "unknown option extra"},
      {{"--tty", "/dev/null", "--count", "2"},
       "--tty serves one device; --count does not go with it"},
      {{"--tty", ""}, "--tty needs a value; \"\" names nothing"},
  };
  for (auto [args, words] : cases) {
    args.insert(args.begin(), LUMAFLASH_SIM_PATH);
    auto result = testing::RunProgram(args, dir.Path());
    EXPECT_EQ(result.exitCode, 2) << words;
    EXPECT_EQ(result.err, "lumaflash-sim: " + words + "; see lumaflash-sim --help\n");
  }
}

// lumaflash-sim --tty serves on a tty it did not make (in the USB check, a gadget's port): here
// a pseudo-terminal's far end, with the test writing on its near end as the host would.
TEST(SimOnTty, AnswersOnTheGivenTtyAndReportsAfterItHangsUp) {
  testing::TempDir dir;
  testing::RawPty line;
  // Cooked, as a tty is before anyone makes it raw: the device must.
  const auto cooked =
      testing::RunProgram({"/usr/bin/stty", "-F", line.Path(), "icanon", "echo"}, "/");
  ASSERT_EQ(cooked.exitCode, 0) << cooked.err;
  testing::RunningProgram sim({LUMAFLASH_SIM_PATH, "--tty", line.Path(), "--type", "4801"},
                              dir.Path());
  ASSERT_TRUE(sim.WaitForOutput(line.Path() + " 4801 "));  // it serves the tty from now on
  line.Send({protocol::kIdentify});
  const std::vector<uint8_t> reply = line.Received(10000);
  ASSERT_GE(reply.size(), protocol::kMinIdentifyReply);
  protocol::InterfaceRecord record;
  protocol::ParseIdentifyReply(reply, 1, record);
  EXPECT_EQ(record.deviceId, 0x4801);
  line.HangUp();
  sim.Signal(SIGTERM);
  auto report = sim.Finish();
  EXPECT_EQ(report.exitCode, 0) << report.err;
  EXPECT_TRUE(Has(report.out, line.Path() + ": ")) << report.out;
  EXPECT_TRUE(Has(report.out, "run no")) << report.out;
}

}  // namespace
}  // namespace lumaflash
