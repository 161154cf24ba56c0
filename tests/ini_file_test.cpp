#include "settings/ini_file.h"
#include "settings/file_replace.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <optional>
#include <set>
#include <stdexcept>
#include <string>
#include <vector>

#include "support/read_file.h"
#include "support/temp_dir.h"

namespace lumaflash::settings {
namespace {

namespace fs = std::filesystem;

// A fresh directory per test, removed with everything in it afterwards.
using testing::TempDir;

using testing::ReadBytes;
using testing::WriteBytes;

std::set<std::string> Entries(const fs::path& directory) {
  std::set<std::string> names;
  for (const auto& entry : fs::directory_iterator(directory)) {
    names.insert(entry.path().filename().string());
  }
  return names;
}

// --- Reading --------------------------------------------------------------------------------

struct ParseCase {
  const char* name;
  std::string text;
  const char* section;
  const char* key;
  std::optional<std::string> expected;
};

TEST(IniFileRead, FindsValuesLikeThePrivateProfileReader) {
  const std::vector<ParseCase> cases = {
      {"plain", "[APP]\nLAST_DEVICE=351405122026\n", "APP", "LAST_DEVICE", "351405122026"},
      {"names ignore case", "[app]\nLast_Device=x\n", "APP", "LAST_DEVICE", "x"},
      {"query ignores case", "[APP]\nLAST_DEVICE=x\n", "aPp", "last_device", "x"},
      {"blanks around names and value", "  [  APP  ]  \n  LAST_DEVICE \t=  a b  \t\n", "APP",
       "LAST_DEVICE", "a b"},
      {"double quotes removed", "[S]\nK=\"a b\"\n", "S", "K", "a b"},
      {"single quotes removed", "[S]\nK='a b'\n", "S", "K", "a b"},
      {"blanks inside quotes kept", "[S]\nK=  \"  a  \"  \n", "S", "K", "  a  "},
      {"mismatched quotes kept", "[S]\nK=\"a'\n", "S", "K", "\"a'"},
      {"lone quote kept", "[S]\nK=\"\n", "S", "K", "\""},
      {"inner quotes kept", "[S]\nK=a\"b\"c\n", "S", "K", "a\"b\"c"},
      {"only one pair removed", "[S]\nK=\"\"x\"\"\n", "S", "K", "\"x\""},
      {"empty value is a value", "[S]\nK=\n", "S", "K", ""},
      {"equals sign in value", "[S]\nK=a=b\n", "S", "K", "a=b"},
      {"comments skipped", "[S]\n;K=1\n#K=2\n  ; K=3\nK=4\n", "S", "K", "4"},
      {"garbage and blank lines skipped", "[S]\n\ngarbage line\n=orphan\n[unclosed\nK=5\n", "S",
       "K", "5"},
      {"unclosed bracket is no section", "[X]\n[S\nK=1\n", "S", "K", std::nullopt},
      {"text after section header", "[S] ; note\nK=1\n", "S", "K", "1"},
      {"first key wins", "[S]\nK=first\nK=second\n", "S", "K", "first"},
      {"first duplicate section wins", "[S]\nK=first\n[S]\nK=second\n", "S", "K", "first"},
      {"duplicate section adds keys", "[S]\nA=1\n[T]\nK=t\n[s]\nK=second\n", "S", "K", "second"},
      {"key of other section not seen", "[A]\nK=a\n[B]\nK=b\n", "B", "K", "b"},
      {"missing section", "[A]\nK=a\n", "B", "K", std::nullopt},
      {"missing key", "[A]\nK=a\n", "A", "KEY", std::nullopt},
      {"key name is not a prefix match", "[A]\nKEY2=a\n", "A", "KEY", std::nullopt},
      {"section name is not a prefix match", "[APPX]\nK=a\n", "APP", "K", std::nullopt},
      {"key before any section", "K=top\n[A]\n", "A", "K", std::nullopt},
      {"no trailing newline", "[A]\nK=last", "A", "K", "last"},
      {"CRLF line endings", "[A]\r\nK=crlf\r\nL=x\r\n", "A", "K", "crlf"},
      {"CRLF without trailing newline", "[A]\r\nK=crlf", "A", "K", "crlf"},
      {"UTF-8 byte order mark", "\xEF\xBB\xBF[A]\nK=bom\n", "A", "K", "bom"},
      {"empty text", "", "A", "K", std::nullopt},
  };
  TempDir dir;
  const fs::path path = dir.Path() / "test.ini";
  for (const ParseCase& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(ini_text::FindValue(c.text, c.section, c.key), c.expected);

    WriteBytes(path, c.text);
    IniFile file(path);
    EXPECT_EQ(file.Read(c.section, c.key, "<fallback>"), c.expected.value_or("<fallback>"));
    EXPECT_EQ(file.LastError(), "");
  }
}

TEST(IniFileRead, MissingFileGivesFallbackWithoutError) {
  TempDir dir;
  IniFile file(dir.Path() / "absent.ini");
  EXPECT_EQ(file.Read("APP", "LAST_DEVICE", "default"), "default");
  EXPECT_EQ(file.LastError(), "");
  EXPECT_FALSE(fs::exists(dir.Path() / "absent.ini"));
}

TEST(IniFileRead, DirectoryInPlaceOfFileGivesFallbackAndSaysWhy) {
  TempDir dir;
  const fs::path path = dir.Path() / "Lumaflash.ini";
  fs::create_directory(path);
  IniFile file(path);

  EXPECT_EQ(file.Read("APP", "LAST_DEVICE", "default"), "default");
  EXPECT_NE(file.LastError().find(path.string()), std::string::npos) << file.LastError();
  EXPECT_NE(file.LastError().find("directory"), std::string::npos) << file.LastError();

  EXPECT_FALSE(file.Write("APP", "LAST_DEVICE", "x"));
  EXPECT_NE(file.LastError().find(path.string()), std::string::npos) << file.LastError();
  EXPECT_TRUE(fs::is_directory(path));
  EXPECT_EQ(Entries(dir.Path()), std::set<std::string>{"Lumaflash.ini"});
}

TEST(IniFileRead, ErrorIsClearedByTheNextSuccess) {
  TempDir dir;
  const fs::path path = dir.Path() / "Lumaflash.ini";
  fs::create_directory(path);
  IniFile file(path);
  file.Read("APP", "K", "");
  ASSERT_NE(file.LastError(), "");
  fs::remove(path);
  EXPECT_TRUE(file.Write("APP", "K", "v"));
  EXPECT_EQ(file.LastError(), "");
}

// --- Writing --------------------------------------------------------------------------------

struct WriteCase {
  const char* name;
  std::optional<std::string> before;  // nothing: the file does not exist
  const char* section;
  const char* key;
  const char* value;
  std::string after;
};

TEST(IniFileWrite, ChangesOnlyWhatItMust) {
  const std::vector<WriteCase> cases = {
      {"new file", std::nullopt, "APP", "LAST_DEVICE", "351405122026",
       "[APP]\nLAST_DEVICE=351405122026\n"},
      {"empty file", "", "APP", "K", "v", "[APP]\nK=v\n"},
      {"replace keeps other lines", "; my settings\n\n[3514]\n  LAST_OPEN = old.bin  \nodd line\n",
       "3514", "LAST_OPEN", "new.bin",
       "; my settings\n\n[3514]\n  LAST_OPEN = new.bin\nodd line\n"},
      {"replace matches case", "[app]\nlast_device=1\n", "APP", "LAST_DEVICE", "2",
       "[app]\nlast_device=2\n"},
      {"replace only first duplicate", "[S]\nK=1\nK=2\n", "S", "K", "3", "[S]\nK=3\nK=2\n"},
      {"replace empty value", "[S]\nK=\nL=1\n", "S", "K", "v", "[S]\nK=v\nL=1\n"},
      {"replace keeps quotes out", "[S]\nK=\"old\"\n", "S", "K", "new", "[S]\nK=new\n"},
      {"new key after last key of section", "[A]\nX=1\n; about B\n\n[B]\nY=2\n", "A", "K", "v",
       "[A]\nX=1\nK=v\n; about B\n\n[B]\nY=2\n"},
      {"new key in empty section", "[A]\n[B]\nY=2\n", "A", "K", "v", "[A]\nK=v\n[B]\nY=2\n"},
      {"new key in first duplicate section", "[A]\nX=1\n[B]\n[A]\nZ=2\n", "A", "K", "v",
       "[A]\nX=1\nK=v\n[B]\n[A]\nZ=2\n"},
      {"new section at end", "[A]\nX=1\n", "B", "K", "v", "[A]\nX=1\n[B]\nK=v\n"},
      {"new section after last line without newline", "[A]\nX=1", "B", "K", "v",
       "[A]\nX=1\n[B]\nK=v\n"},
      {"new key after last line without newline", "[A]\nX=1", "A", "K", "v", "[A]\nX=1\nK=v\n"},
      {"replace on last line without newline", "[A]\nK=1", "A", "K", "2", "[A]\nK=2"},
      {"CRLF replace", "[A]\r\nK=1\r\nL=2\r\n", "A", "K", "9", "[A]\r\nK=9\r\nL=2\r\n"},
      {"CRLF new key", "[A]\r\nX=1\r\n[B]\r\n", "A", "K", "v", "[A]\r\nX=1\r\nK=v\r\n[B]\r\n"},
      {"CRLF new section", "[A]\r\nX=1\r\n", "B", "K", "v", "[A]\r\nX=1\r\n[B]\r\nK=v\r\n"},
      {"CRLF without trailing newline", "[A]\r\nX=1", "B", "K", "v",
       "[A]\r\nX=1\r\n[B]\r\nK=v\r\n"},
      {"blanks at value ends are quoted", std::nullopt, "S", "K", " v ", "[S]\nK=\" v \"\n"},
      {"quoted value is quoted again", std::nullopt, "S", "K", "'v'", "[S]\nK=\"'v'\"\n"},
      {"names are trimmed", std::nullopt, " S ", " K ", "v", "[S]\nK=v\n"},
  };
  TempDir dir;
  const fs::path path = dir.Path() / "test.ini";
  for (const WriteCase& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(ini_text::SetValue(c.before.value_or(""), c.section, c.key, c.value), c.after);

    fs::remove(path);
    if (c.before) {
      WriteBytes(path, *c.before);
    }
    IniFile file(path);
    ASSERT_TRUE(file.Write(c.section, c.key, c.value)) << file.LastError();
    EXPECT_EQ(file.LastError(), "");
    EXPECT_EQ(ReadBytes(path), c.after);
    EXPECT_EQ(file.Read(c.section, c.key, "<fallback>"), c.value);
    EXPECT_EQ(Entries(dir.Path()), std::set<std::string>{"test.ini"});
  }
}

TEST(IniFileWrite, ValuesReadBackExactly) {
  const std::vector<std::string> values = {
      "",
      "plain",
      "C:\\images\\dimmer.bin",
      "/home/user/my images/pixel [v2].bin",
      "a=b=c",
      " leading",
      "trailing\t",
      "\"double\"",
      "'single'",
      "\"",
      "'mixed\"",
      "; not a comment",
      std::string(300, 'x') + "END",
      std::string(70000, 'y') + "END",
  };
  TempDir dir;
  IniFile file(dir.Path() / "roundtrip.ini");
  for (const std::string& value : values) {
    SCOPED_TRACE(value.substr(0, 40));
    ASSERT_TRUE(file.Write("S", "K", value)) << file.LastError();
    EXPECT_EQ(file.Read("S", "K", "<fallback>"), value);
  }
}

TEST(IniFileWrite, LongValueAndLongDirectoryAreReadWhole) {
  TempDir dir;
  fs::path deep = dir.Path();
  for (int i = 0; i < 6; ++i) {
    deep /= std::string(60, static_cast<char>('a' + i));
  }
  fs::create_directories(deep);
  ASSERT_GT(deep.string().size(), 255u);
  const std::string longValue = (deep / "firmware.bin").string();
  ASSERT_GT(longValue.size(), 300u);

  IniFile file(deep / "Lumaflash.ini");
  ASSERT_TRUE(file.Write("3514", "LAST_OPEN", longValue)) << file.LastError();
  EXPECT_EQ(file.Read("3514", "LAST_OPEN", ""), longValue);
  EXPECT_EQ(IniFile(deep / "Lumaflash.ini").Read("3514", "LAST_OPEN", ""), longValue);
}

TEST(IniFileWrite, KeepsPermissionBits) {
  TempDir dir;
  const fs::path path = dir.Path() / "Lumaflash.ini";
  WriteBytes(path, "[S]\nK=1\n");
  fs::permissions(path, fs::perms::owner_read | fs::perms::owner_write | fs::perms::group_read);
  IniFile file(path);
  ASSERT_TRUE(file.Write("S", "K", "2")) << file.LastError();
  EXPECT_EQ(fs::status(path).permissions(),
            fs::perms::owner_read | fs::perms::owner_write | fs::perms::group_read);
}

TEST(IniFileWrite, RefusesWhatWouldNotReadBack) {
  struct BadEntry {
    const char* name;
    std::string section;
    std::string key;
    std::string value;
  };
  const std::vector<BadEntry> cases = {
      {"newline in value", "S", "K", "a\n[EVIL]\nX=1"},
      {"carriage return in value", "S", "K", "a\rb"},
      {"newline in key", "S", "K\nX", "v"},
      {"newline in section", "S]\n[T", "K", "v"},
      {"empty section", " ", "K", "v"},
      {"bracket in section", "a]b", "K", "v"},
      {"empty key", "S", "", "v"},
      {"equals in key", "S", "a=b", "v"},
      {"comment key", "S", ";K", "v"},
  };
  TempDir dir;
  const fs::path path = dir.Path() / "Lumaflash.ini";
  const std::string before = "[S]\nK=old\n";
  for (const BadEntry& c : cases) {
    SCOPED_TRACE(c.name);
    WriteBytes(path, before);
    IniFile file(path);
    EXPECT_FALSE(file.Write(c.section, c.key, c.value));
    EXPECT_NE(file.LastError().find(path.string()), std::string::npos) << file.LastError();
    EXPECT_EQ(ReadBytes(path), before);
  }
}

TEST(IniFileText, SetValueNeverAddsLinesFromLineBreaks) {
  const std::string after = ini_text::SetValue("[S]\nK=1\n", "S", "K", "a\r\n[EVIL]\nX=1");
  EXPECT_EQ(after, "[S]\nK=a[EVIL]X=1\n");
  EXPECT_EQ(ini_text::FindValue(after, "EVIL", "X"), std::nullopt);
}

TEST(IniFileWrite, ParentIsARegularFile) {
  TempDir dir;
  WriteBytes(dir.Path() / "not-a-dir", "x");
  const fs::path path = dir.Path() / "not-a-dir" / "Lumaflash.ini";
  IniFile file(path);
  EXPECT_FALSE(file.Write("APP", "LAST_DEVICE", "1"));
  EXPECT_NE(file.LastError().find(path.string()), std::string::npos) << file.LastError();
  EXPECT_EQ(ReadBytes(dir.Path() / "not-a-dir"), "x");
  EXPECT_EQ(Entries(dir.Path()), std::set<std::string>{"not-a-dir"});
}

// Runs `body` in a child process and returns what it wrote to the pipe and its exit status.
template <typename Body>
std::pair<std::string, int> RunInChild(Body body) {
  int pipeFds[2];
  if (::pipe(pipeFds) != 0) {
    throw std::runtime_error("pipe failed");
  }
  const pid_t child = ::fork();
  if (child == 0) {
    // The child must never return into the test runner, whatever happens.
    try {
      ::close(pipeFds[0]);
      const std::string report = body();
      const ssize_t ignored = ::write(pipeFds[1], report.data(), report.size());
      static_cast<void>(ignored);
      ::_exit(0);
    } catch (...) {
      ::_exit(3);
    }
  }
  ::close(pipeFds[1]);
  std::string report;
  std::array<char, 512> buffer{};
  ssize_t got = 0;
  while ((got = ::read(pipeFds[0], buffer.data(), buffer.size())) > 0) {
    report.append(buffer.data(), static_cast<std::size_t>(got));
  }
  ::close(pipeFds[0]);
  int status = 0;
  ::waitpid(child, &status, 0);
  return {report, status};
}

// A file-size limit stops writes even for root, like a full disk does.
TEST(IniFileWrite, FileSizeLimitLeavesOldFileIntact) {
  TempDir dir;
  const fs::path path = dir.Path() / "Lumaflash.ini";
  const std::string before = "; keep me\r\n[3514]\r\nLAST_OPEN=old.bin\r\n";
  WriteBytes(path, before);

  const auto [report, status] = RunInChild([&] {
    ::signal(SIGXFSZ, SIG_IGN);
    const rlimit limit{4096, 4096};
    ::setrlimit(RLIMIT_FSIZE, &limit);
    IniFile file(path);
    const bool written = file.Write("3514", "LAST_OPEN", std::string(100000, 'z'));
    return std::string(written ? "written" : "refused") + "|" + file.LastError();
  });

  ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
  EXPECT_EQ(report.substr(0, 8), "refused|") << report;
  EXPECT_NE(report.find(path.string()), std::string::npos) << report;
  EXPECT_NE(report.find("too large"), std::string::npos) << report;
  EXPECT_EQ(ReadBytes(path), before);
  EXPECT_EQ(Entries(dir.Path()), std::set<std::string>{"Lumaflash.ini"});
}

// Where a writer child kills itself: at `step` of its `write`-th write (counted from 1).
struct KillPoint {
  int write;
  file_replace::ReplaceStep step;
};
KillPoint g_killPoint{};
int g_writesStarted = 0;

void KillAtChosenStep(file_replace::ReplaceStep step) {
  g_writesStarted += step == file_replace::ReplaceStep::kTempCreated ? 1 : 0;
  if (g_writesStarted == g_killPoint.write && step == g_killPoint.step) {
    ::raise(SIGKILL);
  }
}

TEST(IniFileWrite, KilledWriterLeavesOldOrNewContent) {
  using Step = file_replace::ReplaceStep;
  const std::string initial = "; header\n[3514]\nLAST_OPEN=start\nUSE_LAST_AGAIN=1\n[APP]\n";
  const auto valueFor = [](int write) { return std::string(256 * 1024, char('a' + write)); };
  for (int write : {1, 2}) {
    for (Step step : {Step::kTempCreated, Step::kTempWritten, Step::kTempFlushed, Step::kTempClosed,
                      Step::kRenamed}) {
      SCOPED_TRACE("killed in write " + std::to_string(write) + " after step " +
                   std::to_string(static_cast<int>(step)));
      TempDir dir;
      const fs::path path = dir.Path() / "Lumaflash.ini";
      WriteBytes(path, initial);
      const pid_t child = ::fork();
      if (child == 0) {
        g_killPoint = {write, step};
        file_replace::SetReplaceStepHook(KillAtChosenStep);
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
      const int lastDone = step == Step::kRenamed ? write : write - 1;
      EXPECT_EQ(ReadBytes(path), lastDone == 0 ? initial
                                               : ini_text::SetValue(initial, "3514", "LAST_OPEN",
                                                                    valueFor(lastDone)));
      // The next write takes the killed writer's temporary file away.
      IniFile after(path);
      EXPECT_TRUE(after.Write("3514", "LAST_OPEN", "done")) << after.LastError();
      EXPECT_EQ(after.Read("3514", "USE_LAST_AGAIN", ""), "1");
      EXPECT_EQ(Entries(dir.Path()), std::set<std::string>{"Lumaflash.ini"});
    }
  }
}

}  // namespace
}  // namespace lumaflash::settings
