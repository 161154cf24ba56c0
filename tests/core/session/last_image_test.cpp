// The recall of the last image after a scan and the automatic repeat, from a real settings file,
// and a settings file that cannot be used.
#include "core/session/last_image.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#include "core/session/session.h"
#include "core/settings/settings.h"
#include "tests/support/read_file.h"
#include "tests/support/recording_feedback.h"
#include "tests/support/temp_dir.h"

namespace lumaflash::session {
namespace {

namespace fs = std::filesystem;
using settings::FormatUpdateStamp;
using settings::LocalDate;
using testing::TempDir;
using testing::WriteBytes;

constexpr LocalDate kToday{6, 12, 2026};

// A session in `dir` whose last scan found the given device types.
struct Desk {
  explicit Desk(const std::vector<uint16_t>& found) : session(feedback) {
    session.today = [] { return kToday; };
    SetupSettings(session, dir.Path());
    for (std::size_t i = 0; i < found.size(); ++i) {
      session.interfaces[i].bootloaderVersion = 0x0100;
      session.interfaces[i].deviceId = found[i];
    }
  }
  TempDir dir;
  testing::RecordingFeedback feedback;
  Session session;
};

TEST(LastImage, RecallAfterAScanAndTheAutomaticRepeat) {
  // settings: "$" stands for the image's path; expected: recalled, recall told, use last again,
  // repeat due: "R", "E", "U", "A".
  // clang-format off
  struct Case { const char* name; std::vector<uint16_t> found; std::string settings;
    bool imageExists; std::string expected; };
  const std::string stamp = "[APP]\nLAST_DEVICE=" + FormatUpdateStamp(0x3514, kToday);
  const std::string entries = "\nLAST_OPEN=$\nUSE_LAST_AGAIN=";
  const Case cases[] = {
      {"no settings", {0x3514}, "", false, ""},
      {"flag on, stamped today", {0x3514}, "[3514]" + entries + "1\n" + stamp, true, "REUA"},
      {"flag off", {0x3514}, "[3514]" + entries + "0\n" + stamp, true, "RE"},
      {"stamped another day", {0x3514},
       "[3514]" + entries + "1\n[APP]\nLAST_DEVICE=351405122026\n", true, "REU"},
      {"image deleted", {0x3514}, "[3514]" + entries + "1\n" + stamp, false, "R"},
      {"two interfaces", {0x3514, 0x3514}, "[3514]" + entries + "1\n" + stamp, true, ""},
      {"stamp of another type", {0x3409}, "[3409]" + entries + "1\n" + stamp, true, "REU"},
  };
  // clang-format on
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Desk desk(c.found);
    const std::string image = (desk.dir / "last.bin").string();
    if (c.imageExists) {
      WriteBytes(image, "x");
    }
    std::string text = c.settings;
    if (const auto at = text.find('$'); at != std::string::npos) {
      text.replace(at, 1, image);
    }
    WriteBytes(desk.dir / "Lumaflash.ini", text);
    RecallLastImage(desk.session);
    const bool recalled = desk.session.currentImagePath == image;
    EXPECT_EQ(std::string(recalled ? "R" : "") + (desk.feedback.lastImageRecalled ? "E" : "") +
                  (desk.session.useLastAgain ? "U" : "") +
                  (IsAutoRepeatDue(desk.session) ? "A" : ""),
              c.expected);
    EXPECT_EQ(desk.feedback.Said("Last file: " + image), desk.feedback.lastImageRecalled);
    EXPECT_FALSE(desk.session.settingsErrorReported);
  }
}

// A settings file that cannot be used costs the conveniences, is told once with the alert, and
// leaves every read at its default.
TEST(LastImage, UnusableSettingsFileIsToldOnceAndReadsGiveDefaults) {
  Desk desk({0x3514});
  fs::create_directory(desk.dir / "Lumaflash.ini");
  EXPECT_EQ(ReadLastOpen(desk.session, 0x3514, "fallback.bin"), "fallback.bin");
  WriteLastOpen(desk.session, 0x3514, "new.bin");
  WriteUseLastAgain(desk.session, 0x3514, true);
  StampUpdate(desk.session, 0x3514);
  desk.session.useLastAgain = true;
  EXPECT_FALSE(IsAutoRepeatDue(desk.session));
  ASSERT_EQ(desk.feedback.statuses.size(), 1u);
  EXPECT_TRUE(desk.feedback.statuses[0].alert &&
              desk.feedback.statuses[0].text.find("is a directory") != std::string::npos)
      << desk.feedback.statuses[0].text;
  EXPECT_TRUE(fs::is_directory(desk.dir / "Lumaflash.ini"));
}

}  // namespace
}  // namespace lumaflash::session
