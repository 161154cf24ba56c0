// The native window under Wine: the real dialog on the main thread, driven from a second one
// through its controls and messages, against the simulated device on LUMAFLASH_TEST_COM.
#include <windows.h>
// After windows.h, which it needs.
#include <commctrl.h>
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <optional>
#include <string>
#include <thread>
#include <tuple>
#include <vector>

#include "app/win32/console_text.h"
#include "app/win32/resource_ids.h"
#include "app/win32/win32_window.h"
#include "core/settings/settings.h"
#include "lumaflash_version.h"
#include "sim/image_file.h"
#include "tests/support/read_file.h"
#include "tests/support/wait_for.h"

namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using lumaflash::settings::FormatUpdateStamp;
using lumaflash::settings::LocalDate;

constexpr uint16_t kDeviceType = 0x3514;  // what the simulated device reports
constexpr LocalDate kToday{7, 12, 2026};
constexpr LocalDate kYesterday{6, 12, 2026};
const std::wstring kUnicodeName = L"L\u00fcmetta \u03a9 \u0142 \u706f.bin";

const std::string kPort =
    std::getenv("LUMAFLASH_TEST_COM") ? std::getenv("LUMAFLASH_TEST_COM") : "COM12";

std::string Utf8(const fs::path& path) {
  const std::u8string text = path.u8string();
  return {text.begin(), text.end()};
}

// The path in the system's ANSI code page, as narrow Windows programs write it.
std::string Ansi(const fs::path& path) {
  char ansi[MAX_PATH] = {};
  WideCharToMultiByte(CP_ACP, 0, path.c_str(), -1, ansi, MAX_PATH, nullptr, nullptr);
  return ansi;
}

void WriteImage(const fs::path& path, uint16_t type, std::size_t length = 8192) {
  const auto bytes =
      lumaflash::sim::BuildImageFile(2, type, lumaflash::sim::PatternPayload(length, 3));
  std::ofstream(path, std::ios::binary) << std::string(bytes.begin(), bytes.end());
}

// Polls quickly, so that short states (a moving progress bar) are seen; gives up after 60 s.
bool WaitFor(const std::function<bool()>& done) {
  return lumaflash::testing::WaitFor(done, 60s, 2ms);
}

// A timer of the window's own thread, set there through a message hook: it fires after every
// timer of that thread that was set before it with no longer a delay (the system hands out
// expired timers in the order they expire), so its firing proves those had their chance.
std::atomic<bool> g_probeFired{false};
const UINT kProbeMessage = RegisterWindowMessageW(L"LumaflashTestTimerProbe");
constexpr UINT_PTR kProbeTimer = 0x7e57;

LRESULT CALLBACK WatchProbe(int code, WPARAM removal, LPARAM message) {
  const auto* msg = reinterpret_cast<const MSG*>(message);
  if (code == HC_ACTION && removal == PM_REMOVE) {
    if (msg->message == kProbeMessage) {
      SetTimer(msg->hwnd, kProbeTimer, static_cast<UINT>(msg->wParam), nullptr);
    } else if (msg->message == WM_TIMER && msg->wParam == kProbeTimer) {
      KillTimer(msg->hwnd, kProbeTimer);
      g_probeFired = true;
    }
  }
  return CallNextHookEx(nullptr, code, removal, message);
}

bool WaitForProbeTimer(HWND window, std::chrono::milliseconds delay) {
  g_probeFired = false;
  HHOOK hook = SetWindowsHookExW(WH_GETMESSAGE, WatchProbe, nullptr,
                                 GetWindowThreadProcessId(window, nullptr));
  const bool fired = hook != nullptr &&
                     PostMessageW(window, kProbeMessage, static_cast<WPARAM>(delay.count()), 0) &&
                     WaitFor([] { return g_probeFired.load(); });
  UnhookWindowsHookEx(hook);
  return fired;
}

// Waits for a modal window that `owner` opened, by its title, and answers it with OK. (What the
// scan log and the About box say is the controller's and the resources' business.)
bool AnswerOwnedWindow(HWND owner, const wchar_t* title) {
  HWND found = nullptr;
  const bool shown = WaitFor([&] {
    found = FindWindowW(L"#32770", title);
    return found != nullptr && found != owner && GetWindow(found, GW_OWNER) == owner;
  });
  if (shown) {
    SendMessageW(found, WM_COMMAND, IDOK, 0);
  }
  return shown;
}

// The main window as the driving thread sees it, through the controls' own messages.
struct Screen {
  HWND dialog = nullptr;

  HWND Item(int id) const { return GetDlgItem(dialog, id); }
  bool Idle() const { return IsWindowEnabled(dialog) != FALSE; }
  bool Open() const { return IsWindow(dialog) != FALSE; }
  bool Says(const std::wstring& text) const { return Status().find(text) != std::wstring::npos; }
  std::wstring Status() const {
    std::wstring lines;
    const auto count = SendMessageW(Item(IDC_STATUS_LOG), LB_GETCOUNT, 0, 0);
    for (LRESULT i = 0; i < count; ++i) {
      wchar_t line[2048] = {};
      SendMessageW(Item(IDC_STATUS_LOG), LB_GETTEXT, static_cast<WPARAM>(i),
                   reinterpret_cast<LPARAM>(line));
      lines += std::wstring(line) + L"\n";
    }
    return lines;
  }
  void Click(int id) const {
    PostMessageW(dialog, WM_COMMAND, MAKEWPARAM(id, BN_CLICKED),
                 reinterpret_cast<LPARAM>(Item(id)));
  }
  void Key(WPARAM key) const { PostMessageW(Item(IDC_INTERFACE_LIST), WM_KEYDOWN, key, 0); }
};

class Win32Window : public testing::Test {
 protected:
  void SetUp() override {
    fs::remove_all(m_dir);
    fs::create_directories(m_dir);
    WriteImage(m_dir / kUnicodeName, kDeviceType);
  }
  void TearDown() override { fs::remove_all(m_dir); }

  // Runs the window on this thread and `drive` on another once the first scan is over; the
  // window is closed afterwards if it is still open. Returns the window's exit status.
  int RunWindow(const std::function<void(Screen&)>& drive) {
    lumaflash::app::WindowSetup setup{m_ports, m_dir, [] { return kToday; }};
    lumaflash::app::Win32Seams seams{[this](const lumaflash::app::FileRequest& request) {
      m_offered.push_back(request.initialName);
      return m_answer;
    }};
    std::atomic<bool> ended{false};
    std::thread driver([&] {
      Screen screen;
      const bool ready =
          WaitFor([&] {
            screen.dialog = FindWindowW(L"#32770", fs::path(lumaflash::WindowTitle()).c_str());
            return ended || (screen.dialog != nullptr && screen.Says(L"Interfaces found"));
          }) &&
          !ended;
      EXPECT_TRUE(ready) << "the window did not finish its first scan";
      if (ready) {
        drive(screen);
      }
      WaitFor([&] { return !screen.Open() || screen.Idle(); });
      PostMessageW(screen.dialog, WM_CLOSE, 0, 0);
    });
    const int status = lumaflash::app::RunWin32Window(setup, seams);
    ended = true;
    driver.join();
    return status;
  }

  // LAST_OPEN (as the path is written in the file), USE_LAST_AGAIN on, and the update stamp.
  void WriteSettings(const std::string& lastOpen, const LocalDate& stampDate) {
    std::ofstream(m_dir / "Lumaflash.ini", std::ios::binary)
        << "[3514]\r\nLAST_OPEN=" + lastOpen + "\r\nUSE_LAST_AGAIN=1\r\n[APP]\r\nLAST_DEVICE=" +
               FormatUpdateStamp(kDeviceType, stampDate) + "\r\n";
  }
  std::string Settings() const {
    return lumaflash::testing::ReadWholeFile(m_dir / "Lumaflash.ini");
  }

  fs::path m_dir = fs::temp_directory_path() /
                   ("lumaflash-window-" + std::to_string(GetCurrentProcessId()) + "-" +
                    testing::UnitTest::GetInstance()->current_test_info()->name());
  std::vector<std::string> m_ports{kPort};
  std::optional<std::string> m_answer;
  std::vector<std::string> m_offered;  // the initial names the file dialog was asked with
};

// Watches an update from the click to the window's end: the bar moves within its range.
void ExpectUpdateEnds(Screen& screen) {
  LRESULT highest = 0, upper = 0;
  EXPECT_TRUE(WaitFor([&] {
    if (const LRESULT position = SendMessageW(screen.Item(IDC_PROGRESS), PBM_GETPOS, 0, 0);
        position > highest) {
      highest = position, upper = SendMessageW(screen.Item(IDC_PROGRESS), PBM_GETRANGE, FALSE, 0);
    }
    return !screen.Open();
  })) << "the window did not close after the update";
  EXPECT_TRUE(highest > 0 && highest <= upper) << highest << " of " << upper;
}

// The device is listed; a port that another program holds is reported as busy
// (LUMAFLASH_TEST_HELD_COM: test_windows.sh holds a simulated device's terminal exclusively).
// An image of another type is refused and the window stays; the next choice, a name outside the
// ANSI code page, updates the device and the window ends. LAST_OPEN holds each path in the ANSI
// code page where it can, in UTF-8 otherwise, and reads back as it was chosen.
TEST_F(Win32Window, FileDialogRefusalThenUpdate) {
  const char* held = std::getenv("LUMAFLASH_TEST_HELD_COM");
  ASSERT_NE(held, nullptr) << "set LUMAFLASH_TEST_HELD_COM to a port another program holds";
  m_ports.emplace_back(held);
  const fs::path other = m_dir / L"\u00c4hnlich.bin";
  WriteImage(other, 0x3409);
  m_answer = Utf8(other);
  const int status = RunWindow([&](Screen& screen) {
    const HWND list = screen.Item(IDC_INTERFACE_LIST);
    wchar_t device[256] = {};
    ListView_GetItemText(list, 0, 0, device, 256);
    EXPECT_EQ(ListView_GetItemCount(list), 1);
    EXPECT_STREQ(device, L"Lumetta A");
    EXPECT_EQ(ListView_GetNextItem(list, -1, LVNI_SELECTED), 0);  // selected
    EXPECT_TRUE(screen.Says(fs::path(held).wstring() + L" is busy")) << Utf8(screen.Status());
    screen.Click(IDC_FIRMWARE_UPDATE);
    EXPECT_TRUE(WaitFor([&] { return screen.Says(L"Firmware file is not for selected device!"); }))
        << Utf8(screen.Status());
    EXPECT_TRUE(WaitFor([&] { return screen.Idle(); }) && screen.Open());
    EXPECT_EQ(Settings().find("LAST_DEVICE"), std::string::npos);
    EXPECT_NE(Settings().find("LAST_OPEN=" + Ansi(other) + "\n"), std::string::npos) << Settings();
    m_answer = Utf8(m_dir / kUnicodeName);
    screen.Click(IDC_FIRMWARE_UPDATE);
    ExpectUpdateEnds(screen);
  });
  EXPECT_EQ(status, 0);
  // The first dialog offers DIR/*.bin, the second the refused file, which LAST_OPEN names.
  EXPECT_EQ(m_offered, (std::vector{Utf8(m_dir / "*.bin"), Utf8(other)}));
  // Ω and 灯 have no place in the ANSI code page: the path is kept as UTF-8.
  EXPECT_NE(Settings().find("LAST_OPEN=" + *m_answer + "\n"), std::string::npos) << Settings();
  EXPECT_NE(Settings().find("LAST_DEVICE=" + FormatUpdateStamp(kDeviceType, kToday)),
            std::string::npos);
}

// The automatic repeat, the path recalled in the ANSI code page: a stamp of yesterday waits for
// the click (today's updates by itself: SessionEndStopsTheUpdateInOrder, test_windows.sh). While
// it waits: Esc and Enter do nothing, Ctrl+D shows the scan log, system command 16, the system
// menu's last entry, the About box.
TEST_F(Win32Window, AutomaticRepeatKeysAndSystemMenu) {
  ASSERT_NE(GetACP(), static_cast<UINT>(CP_UTF8))
      << "the ANSI case needs a code page other than UTF-8";
  const std::wstring ansiName = L"L\u00fcmetta.bin";
  WriteImage(m_dir / ansiName, kDeviceType);
  WriteSettings(Ansi(m_dir / ansiName), kYesterday);
  RunWindow([&](Screen& screen) {
    EXPECT_TRUE(screen.Says(L"Last file: " + (m_dir / ansiName).wstring()))
        << Utf8(screen.Status());
    EXPECT_EQ(IsDlgButtonChecked(screen.dialog, IDC_USE_LAST_AGAIN), BST_CHECKED);
    HMENU menu = GetSystemMenu(screen.dialog, FALSE);
    EXPECT_EQ(GetMenuItemID(menu, GetMenuItemCount(menu) - 1), 16u);
    const std::wstring before = screen.Status();
    screen.Key(VK_ESCAPE);
    screen.Key(VK_RETURN);
    // Ctrl+D after them: its message box shows that they have been handled.
    AttachThreadInput(GetCurrentThreadId(), GetWindowThreadProcessId(screen.dialog, nullptr), TRUE);
    BYTE keys[256] = {};
    GetKeyboardState(keys);
    keys[VK_CONTROL] = 0x80;
    SetKeyboardState(keys);
    screen.Key('D');
    EXPECT_TRUE(AnswerOwnedWindow(screen.dialog, L"Lumaflash")) << "Ctrl+D showed no scan log";
    keys[VK_CONTROL] = 0;
    SetKeyboardState(keys);
    PostMessageW(screen.dialog, WM_SYSCOMMAND, 16, 0);
    EXPECT_TRUE(AnswerOwnedWindow(screen.dialog, L"Info \u00fcber Lumaflash")) << "no About box";
    // Enter pressed no Firmware-Update, and the repeat's timer, had it been set when the first
    // scan ended, would have fired before this one.
    EXPECT_TRUE(WaitForProbeTimer(screen.dialog, lumaflash::app::kAutoRepeatDelay));
    EXPECT_TRUE(screen.Open() && screen.Idle() && screen.Status() == before);
    screen.Click(IDC_FIRMWARE_UPDATE);
    ExpectUpdateEnds(screen);
  });
  EXPECT_TRUE(m_offered.empty()) << "the file dialog was shown on the use-last path";
}

// The status log as it stood when the window's procedure returned from WM_ENDSESSION, read on
// the window's own thread before it could go on and close.
std::wstring g_statusAtSessionEnd;
LRESULT CALLBACK AfterWindowProc(int code, WPARAM wParam, LPARAM lParam) {
  // NOLINTNEXTLINE(performance-no-int-to-ptr): the hook's record, as Win32 passes it
  const auto* sent = reinterpret_cast<const CWPRETSTRUCT*>(lParam);
  if (code == HC_ACTION && sent->message == WM_ENDSESSION) {
    g_statusAtSessionEnd = Screen{sent->hwnd}.Status();
  }
  return CallNextHookEx(nullptr, code, wParam, lParam);
}

// A logoff during an update is refused with a reason; when the session ends anyway the update
// stops between two blocks and its status is shown before WM_ENDSESSION returns, exit 10.
TEST_F(Win32Window, SessionEndStopsTheUpdateInOrder) {
  WriteImage(m_dir / kUnicodeName, kDeviceType, 240 * 1024);  // seconds of blocks
  WriteSettings(Utf8(m_dir / kUnicodeName), kToday);
  const int status = RunWindow([](Screen& screen) {
    ASSERT_TRUE(WaitFor([&] {
      return SendMessageW(screen.Item(IDC_PROGRESS), PBM_GETPOS, 0, 0) > 1 || !screen.Open();
    }));
    ASSERT_TRUE(screen.Open()) << "the update ended before the session did";
    EXPECT_EQ(SendMessageW(screen.dialog, WM_QUERYENDSESSION, 0, ENDSESSION_LOGOFF), FALSE);
    HHOOK hook = SetWindowsHookExW(WH_CALLWNDPROCRET, AfterWindowProc, nullptr,
                                   GetWindowThreadProcessId(screen.dialog, nullptr));
    ASSERT_NE(hook, nullptr);
    SendMessageW(screen.dialog, WM_ENDSESSION, TRUE, ENDSESSION_LOGOFF);
    UnhookWindowsHookEx(hook);
    EXPECT_NE(g_statusAtSessionEnd.find(L"Update interrupted: " + fs::path(kPort).wstring()),
              std::wstring::npos)
        << Utf8(g_statusAtSessionEnd);
  });
  EXPECT_EQ(status, 10);
}

}  // namespace

// --help, --version and usage errors of a windowed program: where a console or a redirected
// stream leads, the text goes there; started with neither (a double-click), a message box with
// the same text. The console path itself is checked end to end by test_windows.sh.
static std::vector<std::pair<std::wstring, bool>> g_boxes;

TEST(TellOperator, MessageBoxOnlyWhenThereIsNoConsoleAndNoStream) {
  for (const auto& [stream, console, boxes] :  // boxes: how many message boxes are shown
       {std::tuple{false, false, 1u}, std::tuple{true, false, 0u}, std::tuple{false, true, 0u}}) {
    g_boxes.clear();
    lumaflash::app::ConsoleSeams seams;
    seams.hasStandardHandle = stream ? +[](bool) { return true; } : +[](bool) { return false; };
    seams.attachParentConsole = console ? +[] { return true; } : +[] { return false; };
    seams.messageBox = [](const std::wstring& text, bool error) {
      g_boxes.emplace_back(text, error);
    };
    lumaflash::app::TellOperator("lumaflash: unknown argument \"-x\" \u00e9\n", true, seams);
    ASSERT_EQ(g_boxes.size(), boxes);
    if (boxes == 1) {
      EXPECT_EQ(g_boxes[0],
                std::make_pair(std::wstring(L"lumaflash: unknown argument \"-x\" \u00e9\n"), true));
    }
  }
}
