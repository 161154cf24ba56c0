// The window program's start-up, the same for both faces, and when it needs a display.
#include <gtest/gtest.h>

#include <string>
#include <tuple>
#include <vector>

#include "app/controller/window_options.h"
#include "lumaflash_version.h"

namespace lumaflash::app {

TEST(AppOptions, ParsesOptionsAndNeedsADisplayUnlessQtIsToldThePlatform) {
  const std::tuple<std::vector<std::string>, int, std::vector<std::string>, std::string> cases[] = {
      {{"--simulate", "99", "--port", "A", "--port", "B"}, 99, {"A", "B"}, ""},
      {{"--usb", "1209:", "--usb", "0403:6001", "--simulate", "1"}, 1, {}, ""},
      {{"--simulate", "0"}, 0, {}, "1 to 99"},
      {{"--simulate", "100"}, 0, {}, "1 to 99"},
      {{"--simulate", "3x"}, 0, {}, "\"3x\""},
      {{"--port", ""}, 0, {}, "--port needs a value; \"\" names nothing"},
      {{"--usb", "1209"}, 0, {}, "--usb takes a USB vendor and product id"},
      {{"-platform", "xcb"}, 0, {}, "unknown argument \"-platform\""},
      {{"-"}, 0, {}, "unknown argument \"-\""},
      {{"--port", "A", "dimmer.bin"}, 0, {"A"}, ""},
      {{"a.bin", "b.bin"}, 0, {}, "one image file at a time, but \"a.bin\" and \"b.bin\""},
  };
  for (const auto& [args, simulate, ports, error] : cases) {
    const auto options = ParseAppOptions(args);
    const std::string said = options ? "" : options.error().text;
    EXPECT_TRUE(options
                    ? error.empty() && options->simulate == simulate && options->ports == ports &&
                          options->image == (args.back() == "dimmer.bin" ? "dimmer.bin" : "")
                    : said.find(error) != std::string::npos && !error.empty())
        << ::testing::PrintToString(args) << said;
  }
  EXPECT_FALSE(HasDisplay(nullptr, nullptr, nullptr) || HasDisplay("", "", ""));
  EXPECT_TRUE(HasDisplay(":0", nullptr, nullptr) && HasDisplay(nullptr, "wayland-0", nullptr) &&
              HasDisplay(nullptr, nullptr, "offscreen"));
}

// Each face answers every option the same way; only what a face cannot do (simulated devices
// on Windows) and how it names ports differ.
TEST(AppOptions, BothFacesStartTheSameWay) {
  const std::string version = VersionLine("lumaflash") + "\n";
  // args; the exit on Qt and on Win32 (-1: the window opens); what each tells, in part.
  const std::tuple<std::vector<std::string>, int, int, std::string, std::string> cases[] = {
      {{"-h"},
       0,
       0,
       "usage: lumaflash [--simulate N] [--port PATH]... [--usb VID:PID]...\n"
       "                 [--records PATH|off] [--station NAME] [--records-server URI]\n"
       "                 [FILE]\n",
       "usage: lumaflash [--port COMn]... [--usb VID:PID]... [--records PATH|off]\n"
       "                 [--station NAME] [--records-server URI] [FILE]\n"},
      {{"--port", "X", "--help"},
       0,
       0,
       "  --port PATH       scan only this port",
       "  --port COMn       scan only this port"},
      {{"-h"},
       0,
       0,
       "(default:\n                      $XDG_STATE_HOME/lumaflash/records.sqlite)",
       "(default:\n                      %LOCALAPPDATA%\\Lumaflash\\records.sqlite)"},
      {{"--version"}, 0, 0, version, version},
      {{"--usb", "zz"}, 2, 2, "; see lumaflash --help\n", "; see lumaflash --help\n"},
      {{"--simulate", "2"}, -1, 2, "", "--simulate needs pseudo-terminals"},
      {{"--records-server", "postgresql://u:pw@h/d"}, 2, 2, "URI holds a password", "~/.pgpass"},
      {{"--usb", "1209:", "--port", "P"}, -1, -1, "", ""},
  };
  for (const auto& [args, qtExit, win32Exit, qtText, win32Text] : cases) {
    for (const auto& [face, exit, text] :
         {std::tuple{&kQtFace, qtExit, qtText}, {&kWin32Face, win32Exit, win32Text}}) {
      const StartUp plan = PlanStartUp(args, *face);
      SCOPED_TRACE(::testing::PrintToString(args) + " on " + std::string(face->portName));
      EXPECT_EQ(plan.exitCode.value_or(-1), exit);
      EXPECT_EQ(plan.error, exit == 2);
      EXPECT_NE(plan.text.find(text), std::string::npos) << plan.text;
      EXPECT_TRUE(exit != -1 || (plan.text.empty() && plan.options.usb.size() == args.size() / 4));
    }
  }
}

}  // namespace lumaflash::app
