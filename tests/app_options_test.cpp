// The window program's options.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "app_options.h"

namespace lumaflash::app {
namespace {

TEST(AppOptions, ParsesSimulateAndPorts) {
  struct Case {
    std::vector<std::string> args;
    bool ok;
    int simulate;
    std::vector<std::string> ports;
    std::string errorPart;
  };
  const Case cases[] = {
      {{}, true, 0, {}, ""},
      {{"--simulate", "3"}, true, 3, {}, ""},
      {{"--port", "/dev/pts/4", "--port", "/dev/pts/9"}, true, 0, {"/dev/pts/4", "/dev/pts/9"}, ""},
      {{"--simulate", "99", "--port", "/dev/ttyACM0"}, true, 99, {"/dev/ttyACM0"}, ""},
      {{"--simulate", "0"}, false, 0, {}, "1 to 99"},
      {{"--simulate", "100"}, false, 0, {}, "1 to 99"},
      {{"--simulate", "3x"}, false, 0, {}, "\"3x\""},
      {{"--simulate"}, false, 0, {}, "--simulate needs a value"},
      {{"--port"}, false, 0, {}, "--port needs a value"},
      {{"--port", ""}, false, 0, {}, "--port needs a value"},
      {{"--usb", "1209:", "--usb", "0403:6001"}, true, 0, {}, ""},
      {{"--usb", "1209"}, false, 0, {}, "--usb takes a USB vendor and product id"},
      {{"--usb"}, false, 0, {}, "--usb needs a value"},
      {{"-platform", "xcb"}, false, 0, {}, "unknown argument \"-platform\""},
  };
  for (const Case& c : cases) {
    std::string joined;
    for (const std::string& arg : c.args) {
      joined += arg + " ";
    }
    SCOPED_TRACE(joined);
    std::string error;
    const auto options = ParseAppOptions(c.args, error);
    ASSERT_EQ(options.has_value(), c.ok) << error;
    if (c.ok) {
      EXPECT_EQ(options->simulate, c.simulate);
      EXPECT_EQ(options->ports, c.ports);
    } else {
      EXPECT_NE(error.find(c.errorPart), std::string::npos) << error;
    }
  }
  std::string error;
  EXPECT_TRUE(ParseAppOptions({"--help"}, error)->help);
}

TEST(AppOptions, DisplayIsNeededUnlessQtIsToldThePlatform) {
  EXPECT_FALSE(HasDisplay(nullptr, nullptr, nullptr));
  EXPECT_FALSE(HasDisplay("", "", ""));
  EXPECT_TRUE(HasDisplay(":0", nullptr, nullptr));
  EXPECT_TRUE(HasDisplay(nullptr, "wayland-0", nullptr));
  EXPECT_TRUE(HasDisplay(nullptr, nullptr, "offscreen"));
}

}  // namespace
}  // namespace lumaflash::app
