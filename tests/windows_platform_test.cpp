// The Win32 platform layer on a real Windows API (Wine when run from Linux): the COM port walk,
// port failures, the settings file's atomic replace with real files, and the local date.
#include <windows.h>

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "serial/port.h"
#include "settings/ini_file.h"
#include "settings/settings.h"

namespace lumaflash {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

// A fresh folder under %TEMP%, removed with everything in it.
class TempFolder {
 public:
  TempFolder() {
    static std::atomic<unsigned> counter{0};
    m_path = fs::temp_directory_path() / ("lumaflash-win-" + std::to_string(GetCurrentProcessId()) +
                                          "-" + std::to_string(counter.fetch_add(1)));
    fs::create_directories(m_path);
  }
  ~TempFolder() {
    std::error_code ignored;
    fs::remove_all(m_path, ignored);
  }
  TempFolder(const TempFolder&) = delete;
  TempFolder& operator=(const TempFolder&) = delete;

  fs::path operator/(const std::string& name) const { return m_path / name; }
  std::vector<std::string> Names() const {
    std::vector<std::string> names;
    for (const auto& entry : fs::directory_iterator(m_path)) {
      names.push_back(entry.path().filename().string());
    }
    return names;
  }

 private:
  fs::path m_path;
};

std::string ReadBytes(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream bytes;
  bytes << in.rdbuf();
  return bytes.str();
}

void WriteBytes(const fs::path& path, const std::string& bytes) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out << bytes;
}

// Another program's handle on a file: shares reading only, so the file can be neither replaced
// nor deleted while it is held.
class HeldFile {
 public:
  explicit HeldFile(const fs::path& path)
      : m_handle(CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                             FILE_ATTRIBUTE_NORMAL, nullptr)) {}
  ~HeldFile() { Release(); }
  HeldFile(const HeldFile&) = delete;
  HeldFile& operator=(const HeldFile&) = delete;
  bool Held() const { return m_handle != INVALID_HANDLE_VALUE; }
  void Release() {
    if (m_handle != INVALID_HANDLE_VALUE) {
      CloseHandle(m_handle);
      m_handle = INVALID_HANDLE_VALUE;
    }
  }

 private:
  HANDLE m_handle;
};

TEST(WindowsPorts, TheWalkCoversCom1ToCom256ByNumber) {
  const std::vector<serial::PortAddress> ports = serial::SystemPorts();
  ASSERT_EQ(ports.size(), 256u);
  for (std::size_t i = 0; i < ports.size(); ++i) {
    const int number = static_cast<int>(i) + 1;
    EXPECT_EQ(ports[i].portNumber, number);
    EXPECT_EQ(ports[i].path, "COM" + std::to_string(number));
  }
  EXPECT_EQ(serial::PortLogName(ports[4]), "COM5");
  EXPECT_EQ(serial::PortLogName(ports[255]), "COM256");
}

TEST(WindowsPorts, AbsentPortsFailAsNotFoundAndLeaveNothingOpen) {
  // Numbers no test set-up maps, and names that are no COM port at all.
  for (const std::string name : {"COM255", "COM0", "NOSUCHPORT7"}) {
    serial::PortLink link;
    EXPECT_FALSE(link.OpenPort(serial::PortAddress{1, name})) << name;
    EXPECT_FALSE(link.IsOpen()) << name;
    EXPECT_EQ(link.LastFailure().error, serial::PortError::NotFound) << name;
  }
}

TEST(WindowsPorts, FailureSentencesNameThePortAndFitWindows) {
  struct Case {
    serial::PortError error;
    DWORD osError;
    std::string mustSay;
  };
  const std::vector<Case> cases = {
      {serial::PortError::NotFound, ERROR_FILE_NOT_FOUND, "Device Manager"},
      {serial::PortError::Busy, ERROR_ACCESS_DENIED, "busy"},
      {serial::PortError::AccessDenied, ERROR_ACCESS_DENIED, "access denied"},
      {serial::PortError::Vanished, ERROR_DEVICE_NOT_CONNECTED, "unplugged"},
      {serial::PortError::Unusable, ERROR_INVALID_PARAMETER, "cannot be used"},
  };
  for (const Case& c : cases) {
    const std::string text = serial::DescribePortFailure(
        serial::PortFailure{c.error, static_cast<int>(c.osError), "COM7"});
    EXPECT_EQ(text.rfind("COM7", 0), 0u) << text;
    EXPECT_NE(text.find(c.mustSay), std::string::npos) << text;
    // Linux advice would only confuse a Windows user.
    EXPECT_EQ(text.find("dialout"), std::string::npos) << text;
    EXPECT_EQ(text.find("/dev/"), std::string::npos) << text;
  }
}

// A COM port served by a simulated device, named by the test script in LUMAFLASH_TEST_COM.
class SimulatedComPort : public ::testing::Test {
 protected:
  void SetUp() override {
    const char* name = std::getenv("LUMAFLASH_TEST_COM");
    if (name == nullptr || *name == '\0') {
      GTEST_SKIP() << "LUMAFLASH_TEST_COM names no simulated COM port "
                      "(scripts/test_windows.sh sets it)";
    }
    m_address = serial::PortAddress{std::atoi(name + 3), name};
  }
  serial::PortAddress m_address;
};

// Wine leaves a second open of a COM port to the host's tty, which allows it; the Windows serial
// driver refuses it, and the link must then report "busy".
bool RunsUnderWine() {
  HMODULE ntdll = GetModuleHandleA("ntdll.dll");
  return ntdll != nullptr && GetProcAddress(ntdll, "wine_get_version") != nullptr;
}

TEST_F(SimulatedComPort, IdentifyAnswersAndASecondOpenIsBusy) {
  serial::PortLink link;
  ASSERT_TRUE(link.OpenPort(m_address)) << serial::DescribePortFailure(link.LastFailure());
  serial::PortLink other;
  if (!RunsUnderWine()) {
    EXPECT_FALSE(other.OpenPort(m_address));
    EXPECT_EQ(other.LastFailure().error, serial::PortError::Busy)
        << serial::DescribePortFailure(other.LastFailure());
  }

  std::array<uint8_t, 1> identify{0xB0};
  std::array<uint8_t, 1000> reply{};
  uint32_t replyLength = 0;
  ASSERT_TRUE(link.Exchange(identify, reply, replyLength, 50));
  EXPECT_GE(replyLength, 6u);

  // A reply cut off at rxMax: the exchange ends as soon as that many bytes are in.
  std::array<uint8_t, 2> shortReply{};
  const auto start = std::chrono::steady_clock::now();
  ASSERT_TRUE(link.Exchange(identify, shortReply, replyLength, 2000));
  const auto took = std::chrono::steady_clock::now() - start;
  EXPECT_EQ(replyLength, 2u);
  EXPECT_LT(took, 1500ms) << "the exchange waited for its deadline despite a full reply";

  link.ClosePort();
  EXPECT_FALSE(link.IsOpen());
  // A name that already carries the device namespace prefix reaches the same port.
  serial::PortLink prefixed;
  ASSERT_TRUE(
      prefixed.OpenPort(serial::PortAddress{m_address.portNumber, "\\\\.\\" + m_address.path}))
      << serial::DescribePortFailure(prefixed.LastFailure());
  ASSERT_TRUE(prefixed.Exchange(identify, reply, replyLength, 50));
  EXPECT_GE(replyLength, 6u);
  prefixed.ClosePort();
  // Closed means released: the next program gets the port.
  EXPECT_TRUE(other.OpenPort(m_address)) << serial::DescribePortFailure(other.LastFailure());
}

TEST(WindowsSettings, WritesReplaceTheFileAndLeaveNoTemporaryFiles) {
  TempFolder folder;
  settings::AppSettings app(folder / "Lumaflash.ini");
  ASSERT_TRUE(app.WriteLastOpen(0x3514, "C:\\images\\dimmer v2.bin")) << app.LastError();
  ASSERT_TRUE(app.WriteUpdateStamp(0x3514, {6, 12, 2026})) << app.LastError();
  EXPECT_EQ(ReadBytes(folder / "Lumaflash.ini"),
            "[3514]\nLAST_OPEN=C:\\images\\dimmer v2.bin\n[APP]\nLAST_DEVICE=351406122026\n");
  EXPECT_EQ(folder.Names(), std::vector<std::string>{"Lumaflash.ini"});
}

TEST(WindowsSettings, AWriteWaitsBrieflyForAnotherProgramToLetGo) {
  TempFolder folder;
  const fs::path path = folder / "Lumaflash.ini";
  WriteBytes(path, "[APP]\r\nLAST_DEVICE=old\r\n");
  settings::IniFile file(path);

  auto holder = std::make_unique<HeldFile>(path);
  ASSERT_TRUE(holder->Held());
  std::thread release([&] {
    std::this_thread::sleep_for(300ms);
    holder->Release();
  });
  const bool written = file.Write("APP", "LAST_DEVICE", "new");
  release.join();
  EXPECT_TRUE(written) << file.LastError();
  EXPECT_EQ(ReadBytes(path), "[APP]\r\nLAST_DEVICE=new\r\n");
  EXPECT_EQ(folder.Names(), std::vector<std::string>{"Lumaflash.ini"});
}

TEST(WindowsSettings, AFileHeldForGoodIsLeftAsItWasWithAClearMessage) {
  TempFolder folder;
  const fs::path path = folder / "Lumaflash.ini";
  const std::string before = "[APP]\r\nLAST_DEVICE=old\r\n";
  WriteBytes(path, before);
  settings::IniFile file(path);
  HeldFile holder(path);
  ASSERT_TRUE(holder.Held());

  EXPECT_FALSE(file.Write("APP", "LAST_DEVICE", "new"));
  EXPECT_NE(file.LastError().find("Could not save the settings file"), std::string::npos)
      << file.LastError();
  EXPECT_NE(file.LastError().find("Nothing was changed on disk"), std::string::npos)
      << file.LastError();
  // Reading still works while another program holds the file.
  EXPECT_EQ(file.Read("APP", "LAST_DEVICE", "fallback"), "old");
  holder.Release();
  EXPECT_EQ(ReadBytes(path), before);
  EXPECT_EQ(folder.Names(), std::vector<std::string>{"Lumaflash.ini"});
}

TEST(WindowsSettings, AFolderInPlaceOfTheFileIsReported) {
  TempFolder folder;
  fs::create_directory(folder / "Lumaflash.ini");
  settings::IniFile file(folder / "Lumaflash.ini");
  EXPECT_FALSE(file.Write("APP", "LAST_DEVICE", "x"));
  EXPECT_NE(file.LastError().find("is a directory"), std::string::npos) << file.LastError();
}

// The window program's resources, linked into this test program from app/lumaflash.rc.
TEST(WindowsResources, ManifestAsksForInvokerRightsAndDeclaresDpiAwareness) {
  HRSRC found = FindResourceW(nullptr, MAKEINTRESOURCEW(1), MAKEINTRESOURCEW(24));  // RT_MANIFEST
  ASSERT_NE(found, nullptr) << "no manifest resource 1";
  HGLOBAL loaded = LoadResource(nullptr, found);
  ASSERT_NE(loaded, nullptr);
  const std::string manifest(static_cast<const char*>(LockResource(loaded)),
                             SizeofResource(nullptr, found));
  const std::vector<std::string> required = {
      "<requestedExecutionLevel level=\"asInvoker\" uiAccess=\"false\"/>",
      ">true/pm</dpiAware>",
      ">PerMonitorV2, PerMonitor</dpiAwareness>",
  };
  for (const std::string& text : required) {
    EXPECT_NE(manifest.find(text), std::string::npos) << text;
  }
}

TEST(WindowsResources, Icon128LoadsAtTheSmallAndTheBigSize) {
  for (int size : {16, 32, 48}) {
    HANDLE icon = LoadImageW(GetModuleHandleW(nullptr), MAKEINTRESOURCEW(128), IMAGE_ICON, size,
                             size, LR_DEFAULTCOLOR);
    ASSERT_NE(icon, nullptr) << size;
    ICONINFO info{};
    ASSERT_TRUE(GetIconInfo(static_cast<HICON>(icon), &info)) << size;
    BITMAP bitmap{};
    ASSERT_NE(GetObjectW(info.hbmColor, sizeof(bitmap), &bitmap), 0) << size;
    EXPECT_EQ(bitmap.bmWidth, size);
    DeleteObject(info.hbmColor);
    DeleteObject(info.hbmMask);
    DestroyIcon(static_cast<HICON>(icon));
  }
}

TEST(WindowsDate, TodayMatchesTheCRuntimesLocalTime) {
  // Read twice around the C runtime's view, so a run across midnight cannot fail the test.
  for (int attempt = 0; attempt < 2; ++attempt) {
    const settings::LocalDate before = settings::TodayLocal();
    const std::time_t now = std::time(nullptr);
    std::tm local{};
    ASSERT_EQ(localtime_s(&local, &now), 0);
    const settings::LocalDate after = settings::TodayLocal();
    const settings::LocalDate runtime{local.tm_mday, local.tm_mon + 1, local.tm_year + 1900};
    if (before == after) {
      EXPECT_EQ(before, runtime);
      EXPECT_GE(before.year, 2024);
      return;
    }
  }
  FAIL() << "the date changed twice during the test";
}

}  // namespace
}  // namespace lumaflash
