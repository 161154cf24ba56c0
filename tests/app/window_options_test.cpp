// The window program's options, and when it needs a display.
#include <gtest/gtest.h>

#include <string>
#include <tuple>
#include <vector>

#include "app/controller/window_options.h"

namespace lumaflash::app {

TEST(AppOptions, ParsesOptionsAndNeedsADisplayUnlessQtIsToldThePlatform) {
  const std::tuple<std::vector<std::string>, int, std::vector<std::string>, std::string> cases[] = {
      {{"--simulate", "99", "--port", "A", "--port", "B"}, 99, {"A", "B"}, ""},
      {{"--usb", "1209:", "--usb", "0403:6001", "--simulate", "1"}, 1, {}, ""},
      {{"--simulate", "0"}, 0, {}, "1 to 99"},
      {{"--simulate", "100"}, 0, {}, "1 to 99"},
      {{"--simulate", "3x"}, 0, {}, "\"3x\""},
      {{"--port", ""}, 0, {}, "--port needs a value"},
      {{"--usb", "1209"}, 0, {}, "--usb takes a USB vendor and product id"},
      {{"-platform", "xcb"}, 0, {}, "unknown argument \"-platform\""},
      {{"--port", "A", "dimmer.bin"}, 0, {"A"}, ""},
      {{"a.bin", "b.bin"}, 0, {}, "one image file at a time, but \"a.bin\" and \"b.bin\""},
  };
  for (const auto& [args, simulate, ports, error] : cases) {
    std::string said;
    const auto options = ParseAppOptions(args, said);
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

}  // namespace lumaflash::app
