// The window's decisions without a window: the Firmware-Update command's plan, the file
// dialog's initial location, the automatic repeat, the options and the dialog-unit scale.
#include "update_command.h"

#include <gtest/gtest.h>

#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "app_options.h"
#include "dialog_units.h"
#include "session.h"
#include "settings/last_image.h"
#include "support/recording_feedback.h"
#include "support/temp_dir.h"

namespace lumaflash::app {
namespace {

std::string ReadText(const std::filesystem::path& path) {
  std::ifstream in(path);
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

struct PlanCase {
  const char* name;
  std::vector<uint16_t> listed;  // device types in the table
  std::size_t selectedCount;
  int firstSelected;
  bool useLastAgain;
  std::string currentImage;
  std::string lastOpenOf3711;  // LAST_OPEN already stored for type 3711 ("" for none)
  UpdatePath path;
  std::string useLastWritten;  // the USE_LAST_AGAIN line expected in the file, "" for none
  bool wrongSelectionReported;
};

TEST(UpdateCommand, PlanFollowsSelectionFlagAndImage) {
  const PlanCase cases[] = {
      {"nothing listed", {}, 0, -1, false, "", "", UpdatePath::WrongSelection, "", true},
      {"nothing selected",
       {0x3514},
       0,
       -1,
       true,
       "a.bin",
       "",
       UpdatePath::WrongSelection,
       "",
       true},
      {"two selected",
       {0x3514, 0x3711},
       2,
       0,
       true,
       "a.bin",
       "",
       UpdatePath::WrongSelection,
       "",
       true},
      {"row past the table",
       {0x3514},
       1,
       3,
       true,
       "a.bin",
       "",
       UpdatePath::WrongSelection,
       "",
       true},
      {"box off",
       {0x3514},
       1,
       0,
       false,
       "a.bin",
       "",
       UpdatePath::AskForFile,
       "[3514]\nUSE_LAST_AGAIN=0",
       false},
      {"box on, no image",
       {0x3514},
       1,
       0,
       true,
       "",
       "",
       UpdatePath::AskForFile,
       "[3514]\nUSE_LAST_AGAIN=0",
       false},
      {"box on with image",
       {0x3514},
       1,
       0,
       true,
       "a.bin",
       "",
       UpdatePath::UseLast,
       "[3514]\nUSE_LAST_AGAIN=1",
       false},
      {"second row names its own section",
       {0x3514, 0x3711},
       1,
       1,
       false,
       "",
       "c.bin",
       UpdatePath::AskForFile,
       "USE_LAST_AGAIN=0",
       false},
      {"several listed, ticked box still counts",
       {0x3514, 0x3711},
       1,
       1,
       true,
       "a.bin",
       "",
       UpdatePath::UseLast,
       "[3711]\nUSE_LAST_AGAIN=1",
       false},
  };
  for (const PlanCase& c : cases) {
    SCOPED_TRACE(c.name);
    testing::TempDir dir;
    testing::RecordingFeedback feedback;
    Session session(feedback);
    settings::SetupSettings(session, dir.Path());
    for (std::size_t i = 0; i < c.listed.size(); ++i) {
      session.interfaces[i].bootloaderVersion = 0x0100;
      session.interfaces[i].deviceId = c.listed[i];
    }
    session.useLastAgain = c.useLastAgain;
    session.currentImagePath = c.currentImage;
    if (!c.lastOpenOf3711.empty()) {
      settings::WriteLastOpen(session, 0x3711, c.lastOpenOf3711);
    }

    const UpdatePlan plan = PlanUpdate(session, c.selectedCount, c.firstSelected);

    EXPECT_EQ(plan.path, c.path);
    EXPECT_EQ(feedback.Said(kWrongSelection), c.wrongSelectionReported);
    if (c.wrongSelectionReported) {
      ASSERT_EQ(feedback.statuses.size(), 1u);
      EXPECT_TRUE(feedback.statuses[0].alert);
      EXPECT_FALSE(std::filesystem::exists(dir / "Lumaflash.ini") && c.lastOpenOf3711.empty());
      continue;
    }
    EXPECT_EQ(plan.index, c.firstSelected);
    EXPECT_EQ(plan.deviceId, c.listed[static_cast<std::size_t>(c.firstSelected)]);
    const std::string expectedName =
        c.lastOpenOf3711.empty() ? (dir.Path() / "*.bin").string() : c.lastOpenOf3711;
    EXPECT_EQ(plan.initialName, expectedName);
    EXPECT_NE(ReadText(dir / "Lumaflash.ini").find(c.useLastWritten), std::string::npos)
        << ReadText(dir / "Lumaflash.ini");
  }
}

TEST(UpdateCommand, ChosenImageBecomesCurrentAndLastOpen) {
  testing::TempDir dir;
  testing::RecordingFeedback feedback;
  Session session(feedback);
  settings::SetupSettings(session, dir.Path());
  UpdatePlan plan;
  plan.deviceId = 0x3711;
  AcceptChosenImage(session, plan, "/images/c.bin");
  EXPECT_EQ(session.currentImagePath, "/images/c.bin");
  EXPECT_EQ(settings::ReadLastOpen(session, 0x3711, "none"), "/images/c.bin");
  EXPECT_EQ(settings::ReadLastOpen(session, 0x3514, "none"), "none");
}

TEST(UpdateCommand, InitialNameSplitsIntoDirectoryAndFile) {
  struct Case {
    std::string initialName;
    std::string directory;
    std::string fileName;
  };
  const Case cases[] = {
      {"/work/*.bin", "/work", ""},
      {"/images/dimmer.bin", "/images", "dimmer.bin"},
      {"/images/unit?.bin", "/images", ""},
      {"dimmer.bin", "", "dimmer.bin"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.initialName);
    const InitialLocation where = SplitInitialName(c.initialName);
    EXPECT_EQ(where.directory, c.directory);
    EXPECT_EQ(where.fileName, c.fileName);
  }
}

TEST(UpdateCommand, AutoRepeatFiresOnceForTimerOne) {
  struct Case {
    const char* name;
    bool due;
    std::vector<int> timers;
    std::vector<bool> fired;
  };
  const Case cases[] = {
      {"not due", false, {1, 1}, {false, false}},
      {"due: fires once", true, {1, 1}, {true, false}},
      {"another timer leaves it armed", true, {2, 1}, {false, true}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    AutoRepeat repeat;
    repeat.Arm(c.due);
    for (std::size_t i = 0; i < c.timers.size(); ++i) {
      EXPECT_EQ(repeat.Fire(c.timers[i]), c.fired[i]) << "tick " << i;
    }
    EXPECT_FALSE(repeat.Armed() && c.due && c.fired.back());
  }
}

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

TEST(DialogUnits, QuarterCharacterAcrossEighthDown) {
  struct Case {
    int alphabetWidth;  // of the 52 letters, in pixels
    int charHeight;
    UnitRect units;
    UnitRect pixels;
  };
  const Case cases[] = {
      // MS Sans Serif 8 pt at 96 dpi: 6 x 13 pixels per character.
      {312, 13, {304, 158, 304, 158}, {456, 257, 456, 257}},
      {312, 13, {7, 7, 290, 58}, {11, 11, 435, 94}},
      {312, 13, {157, 142, 140, 9}, {236, 231, 210, 15}},
      // Twice the font, twice the window.
      {624, 26, {304, 158, 304, 158}, {912, 514, 912, 514}},
      // An average of 6.5 pixels rounds up, as dialog units do.
      {338, 15, {4, 8, 8, 16}, {7, 15, 14, 30}},
  };
  for (const Case& c : cases) {
    const DialogUnitScale scale(DialogUnitScale::AverageWidth(c.alphabetWidth), c.charHeight);
    EXPECT_EQ(scale.ToPixels(c.units), c.pixels)
        << c.alphabetWidth << " " << c.units.x << "," << c.units.y;
  }
}

}  // namespace
}  // namespace lumaflash::app
