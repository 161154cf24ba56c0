// The settings store: the INI file's read and write rules, the keys the program keeps in it, and
// a writer killed at each step of a write.
#include "core/settings/ini_file.h"
#include "core/platform/file_replace.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include "core/settings/settings.h"
#include "tests/support/read_file.h"
#include "tests/support/temp_dir.h"

namespace lumaflash::settings {
namespace {

namespace fs = std::filesystem;

// What a failed write told the operator; empty after a success.
std::string Message(const Expected<void, SettingsError>& result) {
  return result ? std::string() : Describe(result.error());
}
using testing::ReadWholeFile;
using testing::TempDir;
using testing::WriteBytes;

// How many entries a folder holds besides the lock file: a writer leaves no temporary file
// behind.
long Entries(const fs::path& directory) {
  return std::count_if(
      fs::directory_iterator(directory), fs::directory_iterator(),
      [](const fs::directory_entry& entry) { return entry.path().extension() != ".lock"; });
}

TEST(IniFileRead, FindsValuesLikeThePrivateProfileReader) {
  // clang-format off
  struct Case { std::string text; const char* section; const char* key;
    std::optional<std::string> expected; };
  const Case cases[] = {
      {"[app]\nLast_Device=x\n", "aPp", "LAST_DEVICE", "x"},
      {"  [  APP  ]  \n  K \t=  a b  \t\n", "APP", "K", "a b"},
      {"[S]\nK=  \"  a  \"  \n", "S", "K", "  a  "}, {"[S]\nK='a b'\n", "S", "K", "a b"},
      {"[S]\nK=\"a'\n", "S", "K", "\"a'"}, {"[S]\nK=\"\"x\"\"\n", "S", "K", "\"x\""},
      {"[S]\nK=a=b\n", "S", "K", "a=b"}, {"[X]\n[S\nK=1\n", "S", "K", std::nullopt},
      {"[S]\n;K=1\n#K=2\ngarbage\n=orphan\n[unclosed\nK=4\n", "S", "K", "4"},
      {"[S]\nK=first\n[S]\nK=second\n", "S", "K", "first"},
      {"[S]\nA=1\n[T]\nK=t\n[s]\nK=second\n", "S", "K", "second"},
      {"[A]\nKEY2=a\n[APPX]\nKEY=b\n", "A", "KEY", std::nullopt},
      {"K=top\n[A]\n", "A", "K", std::nullopt}, {"[A]\r\nK=crlf\r\nL=x\r\n", "A", "K", "crlf"},
      {"[A]\r\nK=crlf", "A", "K", "crlf"}, {"\xEF\xBB\xBF[A]\nK=bom\n", "A", "K", "bom"},
  };
  // clang-format on
  TempDir dir;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.text);
    WriteBytes(dir / "test.ini", c.text);
    IniFile file(dir / "test.ini");
    EXPECT_EQ(file.Read(c.section, c.key, "<fallback>").value_or("<unreadable>"),
              c.expected.value_or("<fallback>"));
  }
}

TEST(IniFileWrite, ChangesOnlyWhatItMustAndReadsBack) {
  const std::string huge(70000, 'y');
  // clang-format off
  struct Case { std::optional<std::string> before;  // nothing: the file does not exist
    const char* section; const char* key; std::string value, after; };
  const Case cases[] = {
      {std::nullopt, "APP", "K", "v", "[APP]\nK=v\n"},
      {"; mine\n\n[3514]\n  LAST_OPEN = old  \nodd\n", "3514", "LAST_OPEN", "new",
       "; mine\n\n[3514]\n  LAST_OPEN = new\nodd\n"},
      {"[S]\nK=1\nK=2\n", "S", "K", "3", "[S]\nK=3\nK=2\n"},
      {"[S]\nK=\"old\"\n", "S", "K", "new", "[S]\nK=new\n"},
      {"[A]\nX=1\n; about B\n\n[B]\n", "A", "K", "v", "[A]\nX=1\nK=v\n; about B\n\n[B]\n"},
      {"[A]\nX=1\n[B]\n[A]\nZ=2\n", "A", "K", "v", "[A]\nX=1\nK=v\n[B]\n[A]\nZ=2\n"},
      {"[A]\nX=1", "B", "K", "v", "[A]\nX=1\n[B]\nK=v\n"},
      {"[A]\nX=1", "A", "K", "v", "[A]\nX=1\nK=v\n"},
      {"[A]\nK=1", "A", "K", "2", "[A]\nK=2"}, {"[app]\nk=1\n", "APP", "K", "2", "[app]\nk=2\n"},
      {"[A]\r\nK=1\r\nL=2\r\n", "A", "K", "9", "[A]\r\nK=9\r\nL=2\r\n"},
      {"[A]\r\nX=1\r\n[B]\r\n", "A", "K", "v", "[A]\r\nX=1\r\nK=v\r\n[B]\r\n"},
      {"[A]\r\nX=1", "B", "K", "v", "[A]\r\nX=1\r\n[B]\r\nK=v\r\n"},
      {std::nullopt, " S ", " K ", " v ", "[S]\nK=\" v \"\n"},
      {std::nullopt, "S", "K", "'v'", "[S]\nK=\"'v'\"\n"},
      {std::nullopt, "S", "K", "\"", "[S]\nK=\"\n"},
      {std::nullopt, "S", "K", "; no comment", "[S]\nK=; no comment\n"},
      {std::nullopt, "S", "K", huge, "[S]\nK=" + huge + "\n"},
  };
  // clang-format on
  TempDir dir;
  // A folder path longer than 255 bytes: paths and values are read whole, whatever their length.
  const fs::path deep = dir / (std::string(130, 'a') + "/" + std::string(130, 'b'));
  fs::create_directories(deep);
  for (const Case& c : cases) {
    SCOPED_TRACE(c.after.substr(0, 60));
    const fs::path path = deep / "test.ini";
    fs::remove(path);
    // The replaced file keeps its mode.
    const auto mode = fs::perms::owner_read | fs::perms::owner_write | fs::perms::group_read;
    if (c.before) {
      WriteBytes(path, *c.before);
      fs::permissions(path, mode);
    }
    IniFile file(path);
    const auto written = file.Write(c.section, c.key, c.value);
    ASSERT_TRUE(written) << Message(written);
    EXPECT_EQ(ReadWholeFile(path), c.after);
    EXPECT_TRUE(!c.before || fs::status(path).permissions() == mode);
    EXPECT_EQ(IniFile(path).Read(c.section, c.key, "<fallback>").value_or("<unreadable>"), c.value);
    EXPECT_EQ(Entries(deep), 1);
  }
}

TEST(IniFileWrite, RefusesWhatWouldNotReadBack) {
  struct Case {
    std::string section, key, value;
    bool belowTheFile = false;  // the path leads through the file as if it were a folder
  };
  // clang-format off
  const Case cases[] = {{"S", "K", "a\n[EVIL]\nX=1"}, {"S", "K", "a\rb"}, {"S", "K\nX", "v"},
      {"S]\n[T", "K", "v"}, {" ", "K", "v"}, {"a]b", "K", "v"}, {"S", "", "v"}, {"S", "a=b", "v"},
      {"S", ";K", "v"}, {"APP", "K", "v", true}};
  // clang-format on
  TempDir dir;
  const fs::path path = dir / "Lumaflash.ini";
  for (const Case& c : cases) {
    SCOPED_TRACE(c.section + "|" + c.key + "|" + c.value);
    WriteBytes(path, "[S]\nK=old\n");
    IniFile file(c.belowTheFile ? path / "Lumaflash.ini" : path);
    const auto written = file.Write(c.section, c.key, c.value);
    // The file is named; a folder on the path that is a file is named, with advice.
    const std::string told =
        c.belowTheFile ? "Check that the folder \"" + path.string() + "\" exists and is a folder."
                       : path.string();
    EXPECT_FALSE(written);
    EXPECT_NE(Message(written).find(told), std::string::npos) << Message(written);
    EXPECT_EQ(ReadWholeFile(path), "[S]\nK=old\n");
  }
}

TEST(AppSettings, KeysSectionsAndStampsAsOtherToolsExpectThem) {
  TempDir dir;
  const fs::path path = SettingsPathIn(dir.Path());
  AppSettings settings(path);
  EXPECT_EQ(settings.ReadLastOpen(0x0abc, "none").value_or("<unreadable>"), "none");
  EXPECT_FALSE(fs::exists(path)) << "reading creates no file";
  ASSERT_TRUE(settings.WriteUseLastAgain(0x0abc, true));
  ASSERT_TRUE(settings.WriteLastOpen(0x0abc, "C:\\images\\dimmer.bin"));
  ASSERT_TRUE(settings.WriteUpdateStamp(0x0abc, {5, 12, 2026}));
  ASSERT_TRUE(settings.WriteUseLastAgain(0x0abc, false));
  EXPECT_EQ(ReadWholeFile(dir / "Lumaflash.ini"),
            "[0abc]\nUSE_LAST_AGAIN=0\nLAST_OPEN=C:\\images\\dimmer.bin\n"
            "[APP]\nLAST_DEVICE=0abc05122026\n");
  EXPECT_EQ(settings.ReadLastOpen(0x0abc, "").value_or("<unreadable>"), "C:\\images\\dimmer.bin");
  // Out-of-range fields are printed whole, so day and month or short years cannot collide.
  EXPECT_EQ(FormatUpdateStamp(0x000b, {9, 3, 987}), "000b09030987");
  EXPECT_EQ(FormatUpdateStamp(0xbeef, {28, 2, 12345}), "beef280212345");
  EXPECT_NE(FormatUpdateStamp(0x3514, {1, 2, 2026}), FormatUpdateStamp(0x3514, {2, 1, 2026}));
  std::string on;  // which of these values count as on
  for (const char* value : {"1", "10", "1x", "0", "yes", " 1", "01", ""}) {
    on += AppSettings::IsOn(value) ? '1' : '0';
  }
  EXPECT_EQ(on, "11100000");
}

// Where a writer child kills itself: at `g_killStep` of its `g_killWrite`-th write (from 1).
int g_killWrite = 0;
platform::ReplaceStep g_killStep{};
int g_writesStarted = 0;

void KillAtChosenStep(platform::ReplaceStep step) {
  g_writesStarted += step == platform::ReplaceStep::TempCreated ? 1 : 0;
  if (g_writesStarted == g_killWrite && step == g_killStep) {
    ::raise(SIGKILL);
  }
}

TEST(IniFileWrite, KilledWriterLeavesOldOrNewContent) {
  using Step = platform::ReplaceStep;
  const std::string initial = "; header\n[3514]\nLAST_OPEN=start\nUSE_LAST_AGAIN=1\n[APP]\n";
  const auto valueFor = [](int write) { return std::string(256 * 1024, char('a' + write)); };
  for (int write : {1, 2}) {
    for (Step step : {Step::TempCreated, Step::TempWritten, Step::TempFlushed, Step::TempClosed,
                      Step::Renamed}) {
      SCOPED_TRACE("killed in write " + std::to_string(write) + " after step " +
                   std::to_string(static_cast<int>(step)));
      TempDir dir;
      const fs::path path = dir.Path() / "Lumaflash.ini";
      WriteBytes(path, initial);
      const pid_t child = ::fork();
      if (child == 0) {
        g_killWrite = write, g_killStep = step;
        platform::SetReplaceStepHook(KillAtChosenStep);
        IniFile file(path);
        for (int round = 1; round <= 3; ++round) {
          static_cast<void>(file.Write("3514", "LAST_OPEN", valueFor(round)));
        }
        ::_exit(1);  // the kill point was never reached
      }
      int status = 0;
      ASSERT_EQ(::waitpid(child, &status, 0), child);
      ASSERT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGKILL) << status;
      // Up to the rename the file is the one before this write, from then on this write's.
      const int lastDone = step == Step::Renamed ? write : write - 1;
      EXPECT_EQ(ReadWholeFile(path),
                lastDone == 0
                    ? initial
                    : ini_text::SetValue(initial, "3514", "LAST_OPEN", valueFor(lastDone)));
      // The next write takes the killed writer's temporary file away.
      IniFile after(path);
      const auto written = after.Write("3514", "LAST_OPEN", "done");
      EXPECT_TRUE(written) << Message(written);
      EXPECT_EQ(after.Read("3514", "USE_LAST_AGAIN", "").value_or("<unreadable>"), "1");
      EXPECT_EQ(Entries(dir.Path()), 1);
    }
  }
}

// A window and a production command line in one folder: each read-modify-write holds the lock
// from the read to the replace, so neither drops the other's entries.
TEST(IniFileWrite, TwoProgramsWritingAtOnceLoseNothing) {
  constexpr int kKeysEach = 200;
  TempDir dir;
  const fs::path path = dir / "Lumaflash.ini";
  std::vector<pid_t> writers;
  for (const char* program : {"window", "cli"}) {
    const pid_t child = ::fork();
    if (child == 0) {
      IniFile file(path);
      bool allWritten = true;
      for (int i = 0; i < kKeysEach; ++i) {
        allWritten =
            file.Write("3514", std::string(program) + std::to_string(i), "1") && allWritten;
      }
      ::_exit(allWritten ? 0 : 1);
    }
    writers.push_back(child);
  }
  for (const pid_t writer : writers) {
    int status = -1;
    ASSERT_EQ(::waitpid(writer, &status, 0), writer);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
  }
  const std::string text = ReadWholeFile(path);
  int missing = 0;
  for (const char* program : {"window", "cli"}) {
    for (int i = 0; i < kKeysEach; ++i) {
      missing += ini_text::FindValue(text, "3514", program + std::to_string(i)) ? 0 : 1;
    }
  }
  EXPECT_EQ(missing, 0);
  EXPECT_EQ(Entries(dir.Path()), 1);
}

// A program that keeps the lock (stuck, say) costs a bounded wait and a clear message, never a
// hang and never a write beside it.
TEST(IniFileWrite, ALockHeldTooLongIsToldAndNothingIsWritten) {
  TempDir dir;
  const fs::path path = dir / "Lumaflash.ini";
  WriteBytes(path, "[APP]\nLAST_DEVICE=old\n");
  const int other = ::open((dir / "Lumaflash.ini.lock").c_str(), O_RDWR | O_CREAT, 0644);
  ASSERT_EQ(::flock(other, LOCK_EX), 0);
  IniFile file(path);
  const auto held = file.Write("APP", "LAST_DEVICE", "new");
  EXPECT_FALSE(held);
  EXPECT_EQ(Message(held), "Another program kept the settings file \"" + path.string() +
                               "\" locked for 5 s; settings were not saved. Let the other "
                               "Lumaflash in this folder finish, then try again.");
  EXPECT_EQ(ReadWholeFile(path), "[APP]\nLAST_DEVICE=old\n");
  ::close(other);
  const auto written = file.Write("APP", "LAST_DEVICE", "new");
  EXPECT_TRUE(written) << Message(written);
}

}  // namespace
}  // namespace lumaflash::settings
