// The Win32 platform layer on a real Windows API (Wine from Linux): the COM port walk, port
// failures, the settings file's replace with real files, and the resources.
#include <windows.h>

#include <gtest/gtest.h>

#include <array>
#include <atomic>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <future>
#include <memory>
#include <string>
#include <tuple>
#include <vector>

#include "core/platform/file_replace.h"
#include "core/platform/log_file.h"
#include "core/platform/stop_signals.h"
#include "core/platform/stop_signals_win32.h"
#include "core/serial/port.h"
#include "core/settings/ini_file.h"
#include "tests/support/read_file.h"
#include "tests/support/wait_for.h"

namespace lumaflash {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

// A fresh folder under %TEMP% holding a settings file with `content`, removed with all in it.
struct TempFolder {
  explicit TempFolder(const std::string& content) {
    fs::create_directories(content.empty() ? path : path.parent_path());  // "": a folder there
    if (!content.empty()) {
      std::ofstream(path, std::ios::binary) << content;
    }
  }
  ~TempFolder() { fs::remove_all(path.parent_path()); }
  static inline unsigned counter = 0;
  const fs::path path =
      fs::temp_directory_path() /
      ("lumaflash-win-" + std::to_string(GetCurrentProcessId()) + "-" + std::to_string(counter++)) /
      "Lumaflash.ini";
};

// Another program's hold: it shares reading only, so the file cannot be replaced or deleted.
using HeldFile = std::unique_ptr<void, BOOL(WINAPI*)(HANDLE)>;
HeldFile Hold(const fs::path& path) {
  return {CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                      FILE_ATTRIBUTE_NORMAL, nullptr),
          CloseHandle};
}

TEST(WindowsPorts, TheWalkCoversCom1ToCom256ByNumber) {
  const std::vector<serial::PortAddress> ports = serial::SystemPorts();
  ASSERT_EQ(ports.size(), 256u);
  for (std::size_t i = 0; i < ports.size(); ++i) {
    const std::string name = "COM" + std::to_string(i + 1);
    EXPECT_TRUE(ports[i].portNumber == static_cast<int>(i) + 1 && ports[i].path == name &&
                serial::PortLogName(ports[i]) == name)
        << name;
  }
  // Numbers no test set-up maps, and names that are no COM port at all, are not found.
  for (const std::string name : {"COM255", "COM0", "NOSUCHPORT7"}) {
    serial::PortLink link;
    const auto opened = link.OpenPort(serial::PortAddress{1, name});
    EXPECT_FALSE(opened || link.IsOpen()) << name;
    EXPECT_EQ(opened ? serial::PortError::None : opened.error().error, serial::PortError::NotFound)
        << name;
  }
}

TEST(WindowsPorts, FailureSentencesNameThePortAndFitWindows) {
  using serial::PortError;
  const std::tuple<PortError, DWORD, std::string> cases[] = {
      {PortError::NotFound, ERROR_FILE_NOT_FOUND, "Device Manager"},
      {PortError::Busy, ERROR_ACCESS_DENIED, "busy"},
      {PortError::AccessDenied, ERROR_ACCESS_DENIED, "access denied"},
      {PortError::Vanished, ERROR_DEVICE_NOT_CONNECTED, "unplugged"},
      {PortError::Unusable, ERROR_INVALID_PARAMETER, "cannot be used"}};
  for (const auto& [error, osError, mustSay] : cases) {
    const std::string text =
        serial::DescribePortFailure({error, static_cast<int>(osError), "COM7"});
    EXPECT_EQ(text.rfind("COM7", 0), 0u) << text;
    EXPECT_NE(text.find(mustSay), std::string::npos) << text;
    for (const char* linuxOnly : {"dialout", "/dev/"}) {  // would only confuse a Windows user
      EXPECT_EQ(text.find(linuxOnly), std::string::npos) << text;
    }
  }
}

// A COM port served by a simulated device, named by the test script in LUMAFLASH_TEST_COM.
TEST(SimulatedComPort, IdentifyAnswersAndClosingReleases) {
  const char* name = std::getenv("LUMAFLASH_TEST_COM");
  ASSERT_TRUE(name != nullptr && *name != '\0') << "test_windows.sh names it in LUMAFLASH_TEST_COM";
  const serial::PortAddress address{std::atoi(name + 3), name};
  std::array<uint8_t, 1> identify{0xB0};
  std::array<uint8_t, 1000> reply{};
  // A name that already carries the device namespace prefix reaches the same port.
  for (const std::string& path : {address.path, "\\\\.\\" + address.path}) {
    serial::PortLink link;
    const auto opened = link.OpenPort({address.portNumber, path});
    ASSERT_TRUE(opened) << serial::DescribePortFailure(opened.error());
    EXPECT_GE(link.Exchange(identify, reply, 50).value_or(0), 6u);
    // A reply cut off at rxMax: the exchange ends as soon as that many bytes are in.
    std::array<uint8_t, 2> shortReply{};
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(link.Exchange(identify, shortReply, 2000).value_or(0), 2u);
    EXPECT_LT(std::chrono::steady_clock::now() - start, 1500ms) << "it waited for its deadline";
    link.ClosePort();
  }
  // Closed means released: the next program gets the port.
  serial::PortLink other;
  const auto reopened = other.OpenPort(address);
  EXPECT_TRUE(reopened) << serial::DescribePortFailure(reopened.error());
}

std::atomic<bool> g_moveDue{false};  // set by the step hook: a move met the hold

// Another program holds the file until a move of the new content has met the hold (the retry
// succeeds), for good (the write waits, then leaves the file as it was, with a clear message),
// or a folder stands in its place.
TEST(WindowsSettings, HeldOrBlockedFiles) {
  const std::string before = "[APP]\r\nLAST_DEVICE=old\r\n";
  // clang-format off
  struct Case { const char* name; int hold;  // 1: until the move; -1: for good; 0: a folder
    std::vector<std::string> mustSay; };  // empty: the write succeeds
  // clang-format on
  const Case cases[] = {
      {"held until the move", 1, {}},
      {"held for good", -1, {"Could not save the settings file", "Nothing was changed on disk"}},
      {"a folder", 0, {"is a directory"}}};
  platform::SetReplaceStepHook([](platform::ReplaceStep step) {
    g_moveDue = g_moveDue || step == platform::ReplaceStep::MoveHeld;
  });
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    g_moveDue = false;
    TempFolder folder(c.hold == 0 ? "" : before);
    settings::IniFile file(folder.path);
    HeldFile holder = c.hold == 0 ? HeldFile(nullptr, CloseHandle) : Hold(folder.path);
    ASSERT_TRUE(holder.get() != INVALID_HANDLE_VALUE);
    const auto start = std::chrono::steady_clock::now();
    auto writing =
        std::async(std::launch::async, [&] { return file.Write("APP", "LAST_DEVICE", "new"); });
    // Let go once a move has met the hold, not after a guessed time: the retry finds it free.
    if (c.hold == 1 && testing::WaitFor([] { return g_moveDue.load(); })) {
      holder.reset();
    }
    const auto result = writing.get();
    // A hold for good is waited out for about 2 s (40 tries) before the write gives up.
    EXPECT_TRUE(c.hold != -1 || std::chrono::steady_clock::now() - start > 1500ms);
    const bool written = result.has_value();
    const std::string said = written ? std::string() : settings::Describe(result.error());
    EXPECT_EQ(written, c.mustSay.empty()) << said;
    for (const std::string& part : c.mustSay) {
      EXPECT_NE(said.find(part), std::string::npos) << said;
    }
    if (c.hold != 0) {  // reading works while another program holds the file
      EXPECT_EQ(file.Read("APP", "LAST_DEVICE", "fallback").value_or("<unreadable>"),
                written ? "new" : "old");
      holder.reset();
      EXPECT_EQ(testing::ReadWholeFile(folder.path),
                written ? "[APP]\r\nLAST_DEVICE=new\r\n" : before);
      // No temporary file is left beside it (the lock file stays).
      for (const fs::directory_entry& entry : fs::directory_iterator(folder.path.parent_path())) {
        EXPECT_TRUE(entry.path() == folder.path || entry.path().extension() == L".lock")
            << entry.path();
      }
    }
  }
  platform::SetReplaceStepHook(nullptr);
}

// The log is locked while a line is appended, which LockFileEx allows only on a handle with
// read or write access.
TEST(WindowsLog, AppendsUnderTheLock) {
  TempFolder folder("");
  const fs::path log = folder.path.parent_path() / "log.csv";
  for (const char* line : {"one", "two"}) {
    const auto appended = platform::AppendLocked(log, "header", line);
    EXPECT_TRUE(appended) << (appended ? "" : platform::Describe(appended.error()));
  }
  EXPECT_EQ(testing::ReadWholeFile(log), "header\none\ntwo\n");
}

// Windows ends a console program as soon as its handler returns from a close, logoff or
// shutdown event, so the handler holds it until the run has stopped in order; Ctrl+Break only
// asks. Wine does not deliver these events here: the handler is called as Windows calls it.
TEST(WindowsStop, ConsoleEventsStopInOrder) {
  for (const DWORD event :
       std::array<DWORD, 3>{CTRL_BREAK_EVENT, CTRL_CLOSE_EVENT, CTRL_SHUTDOWN_EVENT}) {
    SCOPED_TRACE(event);
    std::stop_source stop;
    auto stopSignals = std::make_unique<platform::StopSignals>(stop);
    std::atomic<bool> stopped{false};
    // Whether the run had stopped is read as the handler returns: their order, not a timer.
    auto returnedAfterStop = std::async(std::launch::async, [&] {
      EXPECT_TRUE(platform::HandleConsoleControl(event)) << event;  // no trace on this thread
      return stopped.load();
    });
    EXPECT_TRUE(testing::WaitFor([&] { return stop.stop_requested(); }));
    const bool holds = event != CTRL_BREAK_EVENT;
    if (!holds) {  // Ctrl+Break returns while the run goes on
      EXPECT_EQ(returnedAfterStop.wait_for(10s), std::future_status::ready);
    }
    stopped = true;
    stopSignals.reset();
    ASSERT_EQ(returnedAfterStop.wait_for(10s), std::future_status::ready);
    EXPECT_EQ(returnedAfterStop.get(), holds) << "the handler returned before the run had stopped";
  }
}

// The window program's resources, linked into this test program from app/lumaflash.rc.
TEST(WindowsResources, ManifestAndIcon) {
  HRSRC found = FindResourceW(nullptr, MAKEINTRESOURCEW(1), MAKEINTRESOURCEW(24));  // RT_MANIFEST
  ASSERT_NE(found, nullptr) << "no manifest resource 1";
  const std::string manifest(static_cast<const char*>(LockResource(LoadResource(nullptr, found))),
                             SizeofResource(nullptr, found));
  for (const char* text : {"<requestedExecutionLevel level=\"asInvoker\" uiAccess=\"false\"/>",
                           ">true/pm</dpiAware>", ">PerMonitorV2, PerMonitor</dpiAwareness>"}) {
    EXPECT_NE(manifest.find(text), std::string::npos) << text;
  }
  for (int size : {16, 32, 48}) {  // icon 128 at the small and the big sizes
    HANDLE icon = LoadImageW(GetModuleHandleW(nullptr), MAKEINTRESOURCEW(128), IMAGE_ICON, size,
                             size, LR_DEFAULTCOLOR);
    ICONINFO info{};
    BITMAP bitmap{};
    ASSERT_TRUE(icon != nullptr && GetIconInfo(static_cast<HICON>(icon), &info)) << size;
    ASSERT_NE(GetObjectW(info.hbmColor, sizeof(bitmap), &bitmap), 0) << size;
    EXPECT_EQ(bitmap.bmWidth, size);
    DeleteObject(info.hbmColor);
    DeleteObject(info.hbmMask);
    DestroyIcon(static_cast<HICON>(icon));
  }
}

}  // namespace
}  // namespace lumaflash
