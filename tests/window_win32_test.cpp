// The native Windows window under Wine: the real dialog from its resources, run on the main
// thread and driven from a second one through its controls and messages, the way a person (or
// the system) would, against the simulated device on the COM port LUMAFLASH_TEST_COM names.
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
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "lumaflash_dlg_win32.h"
#include "resource_ids_win32.h"
#include "settings/settings.h"
#include "sim/image_file.h"

namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using lumaflash::settings::FormatUpdateStamp;
using lumaflash::settings::LocalDate;

constexpr uint16_t kDeviceType = 0x3514;  // what the simulated device reports
constexpr LocalDate kToday{7, 12, 2026};
constexpr LocalDate kYesterday{6, 12, 2026};
const std::wstring kUnicodeName = L"L\u00fcmetta \u03a9 \u0142 \u706f.bin";

std::string ComPort() {
  const char* port = std::getenv("LUMAFLASH_TEST_COM");
  return port != nullptr ? port : "COM12";
}

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

std::string FileBytes(const fs::path& path) {
  std::ostringstream bytes;
  bytes << std::ifstream(path, std::ios::binary).rdbuf();
  return bytes.str();
}

void WriteFile(const fs::path& path, const std::string& bytes) {
  std::ofstream(path, std::ios::binary) << bytes;
}

void WriteImage(const fs::path& path, uint16_t type) {
  const auto bytes =
      lumaflash::sim::BuildImageFile(2, type, lumaflash::sim::PatternPayload(8192, 3));
  WriteFile(path, std::string(bytes.begin(), bytes.end()));
}

// Polls quickly, so that short states (a moving progress bar) are seen; gives up after 60 s.
bool WaitFor(const std::function<bool()>& done) {
  for (auto end = std::chrono::steady_clock::now() + 60s; std::chrono::steady_clock::now() < end;
       std::this_thread::sleep_for(2ms)) {
    if (done()) {
      return true;
    }
  }
  return false;
}

// All the texts inside a window, one after the other.
std::wstring InnerText(HWND window) {
  std::wstring all;
  EnumChildWindows(
      window,
      [](HWND child, LPARAM into) {
        wchar_t text[2048] = {};
        GetWindowTextW(child, text, 2048);
        *reinterpret_cast<std::wstring*>(into) += std::wstring(text) + L"|";
        return TRUE;
      },
      reinterpret_cast<LPARAM>(&all));
  return all;
}

// A modal window that `owner` opened, by its title, once it shows `text`; nullptr if none did.
HWND OwnedWindow(HWND owner, const wchar_t* title, const std::wstring& text) {
  HWND found = nullptr;
  const bool shown = WaitFor([&] {
    found = FindWindowW(L"#32770", title);
    return found != nullptr && GetWindow(found, GW_OWNER) == owner &&
           InnerText(found).find(text) != std::wstring::npos;
  });
  return shown ? found : nullptr;
}

// The main window as the driving thread sees it, through the controls' own messages.
struct Screen {
  HWND dialog = nullptr;

  HWND Item(int id) const { return GetDlgItem(dialog, id); }
  bool Idle() const { return IsWindowEnabled(dialog) != FALSE; }
  bool Open() const { return IsWindow(dialog) != FALSE; }
  int Rows() const { return ListView_GetItemCount(Item(IDC_INTERFACE_LIST)); }
  std::wstring Cell(int row, int column) const {
    wchar_t text[256] = {};
    ListView_GetItemText(Item(IDC_INTERFACE_LIST), row, column, text, 256);
    return text;
  }
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
    wchar_t temp[MAX_PATH] = {};
    GetTempPathW(MAX_PATH, temp);
    m_dir = fs::path(temp) / ("lumaflash-window-" + std::to_string(GetCurrentProcessId()) + "-" +
                              testing::UnitTest::GetInstance()->current_test_info()->name());
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
            screen.dialog = FindWindowW(L"#32770", L"Lumaflash - V1.3");
            return ended || (screen.dialog != nullptr &&
                             screen.Status().find(L"Interfaces found") != std::wstring::npos);
          }) &&
          !ended;
      EXPECT_TRUE(ready) << "the window did not finish its first scan";
      if (ready) {
        drive(screen);
      }
      WaitFor([&] { return !screen.Open() || screen.Idle(); });
      PostMessageW(screen.dialog, WM_CLOSE, 0, 0);
    });
    const int status = lumaflash::app::RunLumaflashDlg(setup, seams);
    ended = true;
    driver.join();
    return status;
  }

  void WriteSettings(const std::string& lastOpen, const LocalDate& stampDate) {
    WriteFile(m_dir / "Lumaflash.ini", "[3514]\r\nLAST_OPEN=" + lastOpen +
                                           "\r\nUSE_LAST_AGAIN=1\r\n[APP]\r\nLAST_DEVICE=" +
                                           FormatUpdateStamp(kDeviceType, stampDate) + "\r\n");
  }
  std::string Settings() const { return FileBytes(m_dir / "Lumaflash.ini"); }

  fs::path m_dir;
  std::vector<std::string> m_ports{ComPort()};
  std::optional<std::string> m_answer;
  std::vector<std::string> m_offered;  // the initial names the file dialog was asked with
};

// Watches an update from the click to the window's end: the bar moves within its range.
void ExpectUpdateEnds(Screen& screen) {
  int highest = 0;
  int upper = 0;
  EXPECT_TRUE(WaitFor([&] {
    const auto position =
        static_cast<int>(SendMessageW(screen.Item(IDC_PROGRESS), PBM_GETPOS, 0, 0));
    if (position > highest) {
      highest = position;
      upper = static_cast<int>(SendMessageW(screen.Item(IDC_PROGRESS), PBM_GETRANGE, FALSE, 0));
    }
    return !screen.Open();
  })) << "the window did not close after the update";
  EXPECT_GT(highest, 0) << "the progress bar never moved";
  EXPECT_LE(highest, upper);
}

// An image of another type is refused and the window stays; the next choice, a name outside the
// ANSI code page, updates the device and the window ends. LAST_OPEN holds each path in the ANSI
// code page where it can, in UTF-8 otherwise, and reads back as it was chosen.
TEST_F(Win32Window, FileDialogRefusalThenUpdate) {
  const fs::path other = m_dir / L"\u00c4hnlich.bin";
  WriteImage(other, 0x3409);
  m_answer = Utf8(other);
  const int status = RunWindow([&](Screen& screen) {
    EXPECT_EQ(screen.Rows(), 1);
    EXPECT_EQ(screen.Cell(0, 0), L"Lumetta A");
    EXPECT_EQ(ListView_GetNextItem(screen.Item(IDC_INTERFACE_LIST), -1, LVNI_SELECTED), 0);
    screen.Click(IDC_FIRMWARE_UPDATE);
    EXPECT_TRUE(WaitFor([&] {
      return screen.Status().find(L"Firmware file is not for selected device!") !=
             std::wstring::npos;
    })) << Utf8(screen.Status());
    EXPECT_TRUE(WaitFor([&] { return screen.Idle(); }) && screen.Open());
    EXPECT_EQ(Settings().find("LAST_DEVICE"), std::string::npos);
    EXPECT_NE(Settings().find("LAST_OPEN=" + Ansi(other) + "\n"), std::string::npos) << Settings();
    m_answer = Utf8(m_dir / kUnicodeName);
    screen.Click(IDC_FIRMWARE_UPDATE);
    ExpectUpdateEnds(screen);
  });
  EXPECT_EQ(status, 0);
  ASSERT_EQ(m_offered.size(), 2u);
  EXPECT_EQ(m_offered[0], Utf8(m_dir / "*.bin"));
  EXPECT_EQ(m_offered[1], Utf8(other));  // LAST_OPEN names the refused file
  // Ω and 灯 have no place in the ANSI code page: the path is kept as UTF-8.
  EXPECT_NE(Settings().find("LAST_OPEN=" + *m_answer + "\n"), std::string::npos) << Settings();
  EXPECT_NE(Settings().find("LAST_DEVICE=" + FormatUpdateStamp(kDeviceType, kToday)),
            std::string::npos);
}

// The automatic repeat from the settings file: a stamp of today updates by itself, one of
// yesterday waits for the click. The recalled path is UTF-8 in the first case and in the ANSI
// code page in the second.
TEST_F(Win32Window, AutomaticRepeatOnlyOnTheDayOfTheLastUpdate) {
  WriteSettings(Utf8(m_dir / kUnicodeName), kToday);
  EXPECT_EQ(RunWindow([](Screen& screen) { ExpectUpdateEnds(screen); }), 0);

  ASSERT_NE(GetACP(), static_cast<UINT>(CP_UTF8))
      << "the ANSI case needs a code page other than UTF-8";
  const std::wstring ansiName = L"L\u00fcmetta.bin";
  WriteImage(m_dir / ansiName, kDeviceType);
  WriteSettings(Ansi(m_dir / ansiName), kYesterday);
  RunWindow([&](Screen& screen) {
    EXPECT_NE(screen.Status().find(L"Last file: " + (m_dir / ansiName).wstring()),
              std::wstring::npos)
        << "status:\n"
        << Utf8(screen.Status());
    EXPECT_EQ(IsDlgButtonChecked(screen.dialog, IDC_USE_LAST_AGAIN), BST_CHECKED);
    std::this_thread::sleep_for(500ms);  // five times the repeat's delay
    EXPECT_TRUE(screen.Open() && screen.Idle()) << "the window updated by itself";
    screen.Click(IDC_FIRMWARE_UPDATE);
    ExpectUpdateEnds(screen);
  });
  EXPECT_TRUE(m_offered.empty()) << "the file dialog was shown on the use-last path";
}

// LUMAFLASH_TEST_HELD_COM names a port that another program holds (test_windows.sh holds a
// simulated device's terminal exclusively; Wine does not enforce a Windows program's hold).
TEST_F(Win32Window, PortThatAnotherProgramHoldsIsReportedAsBusy) {
  const char* held = std::getenv("LUMAFLASH_TEST_HELD_COM");
  ASSERT_NE(held, nullptr) << "set LUMAFLASH_TEST_HELD_COM to a port another program holds";
  m_ports = {held};
  RunWindow([&](Screen& screen) {
    EXPECT_EQ(screen.Rows(), 0);
    EXPECT_NE(screen.Status().find(fs::path(held).wstring() + L" is busy"), std::wstring::npos)
        << Utf8(screen.Status());
  });
}

// Esc and Enter do nothing, Ctrl+D shows the scan log, system command 16 the About box, which
// the system menu offers.
TEST_F(Win32Window, KeysAndSystemMenu) {
  RunWindow([&](Screen& screen) {
    HMENU menu = GetSystemMenu(screen.dialog, FALSE);
    const int count = GetMenuItemCount(menu);
    wchar_t entry[64] = {};
    GetMenuStringW(menu, static_cast<UINT>(count - 1), entry, 64, MF_BYPOSITION);
    EXPECT_EQ(GetMenuItemID(menu, count - 1), 16u);
    EXPECT_EQ(std::wstring(entry), L"Inf&o \u00fcber Lumaflash...");
    EXPECT_EQ(GetMenuState(menu, static_cast<UINT>(count - 2), MF_BYPOSITION) & MF_SEPARATOR,
              static_cast<UINT>(MF_SEPARATOR));

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
    HWND log = OwnedWindow(screen.dialog, L"Lumaflash",
                           L"Find Interface START\nOpen " + fs::path(ComPort()).wstring());
    keys[VK_CONTROL] = 0;
    SetKeyboardState(keys);
    ASSERT_NE(log, nullptr) << "Ctrl+D showed no message box with the scan log";
    SendMessageW(log, WM_COMMAND, IDOK, 0);
    EXPECT_TRUE(screen.Open());
    EXPECT_EQ(screen.Status(), before);
    EXPECT_TRUE(m_offered.empty()) << "Enter pressed Firmware-Update";

    PostMessageW(screen.dialog, WM_SYSCOMMAND, 16, 0);
    HWND about = OwnedWindow(screen.dialog, L"Info \u00fcber Lumaflash", L"Lumaflash Version 1.3");
    ASSERT_NE(about, nullptr) << "system command 16 showed no About box";
    SendMessageW(about, WM_COMMAND, IDOK, 0);
  });
}

}  // namespace
