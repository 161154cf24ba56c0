#include "settings/settings.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <ctime>
#include <filesystem>
#include <fstream>
#include <stdexcept>
#include <string>
#include <vector>

#include "support/read_file.h"
#include "support/temp_dir.h"

namespace lumaflash::settings {
namespace {

namespace fs = std::filesystem;

using testing::TempDir;

using testing::ReadBytes;
using testing::WriteBytes;

TEST(SettingsNames, DeviceSectionIsFourLowerCaseHexDigits) {
  const std::vector<std::pair<uint16_t, std::string>> cases = {
      {0x3514, "3514"}, {0x3409, "3409"}, {0x0000, "0000"},
      {0x000a, "000a"}, {0xABCD, "abcd"}, {0xffff, "ffff"},
  };
  for (const auto& [deviceId, expected] : cases) {
    EXPECT_EQ(DeviceSection(deviceId), expected) << deviceId;
  }
}

TEST(SettingsNames, UpdateStampFormat) {
  struct Case {
    uint16_t deviceId;
    LocalDate date;
    std::string expected;
  };
  const std::vector<Case> cases = {
      {0x3514, {5, 12, 2026}, "351405122026"},   {0x3514, {31, 12, 2026}, "351431122026"},
      {0x3514, {1, 1, 2027}, "351401012027"},    {0x000b, {9, 3, 987}, "000b09030987"},
      {0xbeef, {28, 2, 12345}, "beef280212345"},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(FormatUpdateStamp(c.deviceId, c.date), c.expected) << c.expected;
  }
}

TEST(SettingsNames, StampsDifferAcrossMidnightNewYearAndDeviceType) {
  const std::vector<std::pair<std::string, std::string>> unequal = {
      {FormatUpdateStamp(0x3514, {31, 12, 2026}), FormatUpdateStamp(0x3514, {1, 1, 2027})},
      {FormatUpdateStamp(0x3514, {5, 12, 2026}), FormatUpdateStamp(0x3514, {6, 12, 2026})},
      {FormatUpdateStamp(0x3514, {5, 12, 2026}), FormatUpdateStamp(0x3409, {5, 12, 2026})},
      // Day and month swapped must not collide.
      {FormatUpdateStamp(0x3514, {1, 2, 2026}), FormatUpdateStamp(0x3514, {2, 1, 2026})},
  };
  for (const auto& [a, b] : unequal) {
    EXPECT_NE(a, b);
  }
  EXPECT_EQ(FormatUpdateStamp(0x3514, {5, 12, 2026}), FormatUpdateStamp(0x3514, {5, 12, 2026}));
}

TEST(SettingsNames, SettingsPathIsLumaflashIniInTheDirectory) {
  EXPECT_EQ(SettingsPathIn("/srv/flash"), fs::path("/srv/flash/Lumaflash.ini"));
  EXPECT_EQ(SettingsPathIn("relative/dir"), fs::path("relative/dir/Lumaflash.ini"));
}

TEST(SettingsDate, TodayLocalMatchesTheSystemClock) {
  // Read the clock around the call; when both readings fall on the same day (always, unless
  // the call straddles midnight) TodayLocal must report that day.
  const auto today = [] {
    const std::time_t now = std::time(nullptr);
    std::tm local{};
    localtime_r(&now, &local);
    return LocalDate{local.tm_mday, local.tm_mon + 1, local.tm_year + 1900};
  };
  const LocalDate before = today();
  const LocalDate reported = TodayLocal();
  const LocalDate after = today();
  if (before == after) {
    EXPECT_EQ(reported, before);
  } else {
    EXPECT_TRUE(reported == before || reported == after);
  }
  EXPECT_GE(reported.year, 2024);
}

TEST(AppSettings, NothingStoredGivesFallbacksAndCreatesNoFile) {
  TempDir dir;
  const fs::path path = SettingsPathIn(dir.Path());
  const AppSettings settings(path);
  EXPECT_EQ(settings.ReadLastOpen(0x3514, "none"), "none");
  EXPECT_EQ(settings.ReadUseLastAgain(0x3514), "");
  EXPECT_EQ(settings.ReadLastDevice(), "");
  EXPECT_EQ(settings.LastError(), "");
  EXPECT_FALSE(fs::exists(path));
}

TEST(AppSettings, WritesTheExpectedFile) {
  TempDir dir;
  const fs::path path = SettingsPathIn(dir.Path());
  AppSettings settings(path);
  ASSERT_TRUE(settings.WriteUseLastAgain(0x3514, true)) << settings.LastError();
  ASSERT_TRUE(settings.WriteLastOpen(0x3514, "C:\\images\\dimmer.bin")) << settings.LastError();
  ASSERT_TRUE(settings.WriteUpdateStamp(0x3514, {5, 12, 2026})) << settings.LastError();
  EXPECT_EQ(ReadBytes(path),
            "[3514]\nUSE_LAST_AGAIN=1\nLAST_OPEN=C:\\images\\dimmer.bin\n"
            "[APP]\nLAST_DEVICE=351405122026\n");

  ASSERT_TRUE(settings.WriteUseLastAgain(0x3514, false)) << settings.LastError();
  ASSERT_TRUE(settings.WriteUpdateStamp(0x3514, {6, 12, 2026})) << settings.LastError();
  EXPECT_EQ(ReadBytes(path),
            "[3514]\nUSE_LAST_AGAIN=0\nLAST_OPEN=C:\\images\\dimmer.bin\n"
            "[APP]\nLAST_DEVICE=351406122026\n");
}

TEST(AppSettings, KeepsEachDeviceTypeApart) {
  TempDir dir;
  AppSettings settings(SettingsPathIn(dir.Path()));
  ASSERT_TRUE(settings.WriteLastOpen(0x3514, "/images/dimmer.bin"));
  ASSERT_TRUE(settings.WriteLastOpen(0x3409, "/images/pixel.bin"));
  ASSERT_TRUE(settings.WriteUseLastAgain(0x3409, true));
  EXPECT_EQ(settings.ReadLastOpen(0x3514, ""), "/images/dimmer.bin");
  EXPECT_EQ(settings.ReadLastOpen(0x3409, ""), "/images/pixel.bin");
  EXPECT_EQ(settings.ReadUseLastAgain(0x3514), "");
  EXPECT_EQ(settings.ReadUseLastAgain(0x3409), "1");
  EXPECT_EQ(settings.ReadLastOpen(0x0001, "fallback"), "fallback");
}

TEST(AppSettings, StampReadBackComparesOnlyOnTheSameDay) {
  TempDir dir;
  AppSettings settings(SettingsPathIn(dir.Path()));
  ASSERT_TRUE(settings.WriteUpdateStamp(0x3514, {31, 12, 2026}));
  EXPECT_EQ(settings.ReadLastDevice(), FormatUpdateStamp(0x3514, {31, 12, 2026}));
  EXPECT_NE(settings.ReadLastDevice(), FormatUpdateStamp(0x3514, {1, 1, 2027}));
  EXPECT_NE(settings.ReadLastDevice(), FormatUpdateStamp(0x3409, {31, 12, 2026}));
}

TEST(AppSettings, UseLastAgainCountsOnlyALeadingOne) {
  struct Case {
    const char* fileLine;  // nullptr: no entry at all
    std::string raw;
    bool on;
  };
  const std::vector<Case> cases = {
      {"USE_LAST_AGAIN=1", "1", true},      {"USE_LAST_AGAIN=10", "10", true},
      {"use_last_again = 1x", "1x", true},  {"USE_LAST_AGAIN=0", "0", false},
      {"USE_LAST_AGAIN=yes", "yes", false}, {"USE_LAST_AGAIN=01", "01", false},
      {"USE_LAST_AGAIN=", "", false},       {nullptr, "", false},
  };
  TempDir dir;
  const fs::path path = SettingsPathIn(dir.Path());
  for (const Case& c : cases) {
    const std::string line = c.fileLine ? c.fileLine : "LAST_OPEN=x.bin";
    SCOPED_TRACE(line);
    WriteBytes(path, "[APP]\nUSE_LAST_AGAIN=1\n[3514]\n" + line + "\n");
    const AppSettings settings(path);
    EXPECT_EQ(settings.ReadUseLastAgain(0x3514), c.raw);
    EXPECT_EQ(AppSettings::IsOn(settings.ReadUseLastAgain(0x3514)), c.on);
  }
  EXPECT_FALSE(AppSettings::IsOn(" 1"));
  EXPECT_FALSE(AppSettings::IsOn("on"));
}

TEST(AppSettings, ReportsWhyAWriteFailed) {
  TempDir dir;
  WriteBytes(dir.Path() / "file", "x");
  const fs::path path = SettingsPathIn(dir.Path() / "file");
  AppSettings settings(path);
  EXPECT_FALSE(settings.WriteUpdateStamp(0x3514, {5, 12, 2026}));
  EXPECT_NE(settings.LastError().find(path.string()), std::string::npos) << settings.LastError();
  EXPECT_FALSE(settings.WriteLastOpen(0x3514, "a\nb"));
  EXPECT_NE(settings.LastError(), "");
}

}  // namespace
}  // namespace lumaflash::settings
