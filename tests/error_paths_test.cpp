// The paths an operator meets when something is off: the last image recalled after a scan, the
// automatic repeat, a settings file that cannot be used, an interrupted or misdirected update,
// and the sentence for every kind of port failure.
#include <gtest/gtest.h>

#include <atomic>
#include <fstream>
#include <set>
#include <string>
#include <vector>

#include "protocol/programming.h"
#include "serial/port.h"
#include "session.h"
#include "settings/last_image.h"
#include "sim/image_file.h"
#include "support/raw_pty.h"
#include "support/recording_feedback.h"
#include "support/sim_devices.h"
#include "support/temp_dir.h"
#include "update/flash.h"

namespace lumaflash {
namespace {

constexpr settings::LocalDate kToday{6, 12, 2026};

// A session in `dir` whose last scan found the given device types.
struct Desk {
  explicit Desk(const std::vector<uint16_t>& found) : session(feedback) {
    session.today = [] { return kToday; };
    settings::SetupSettings(session, dir.Path());
    for (std::size_t i = 0; i < found.size(); ++i) {
      session.interfaces[i].bootloaderVersion = 0x0100;
      session.interfaces[i].deviceId = found[i];
    }
  }
  void Settings(const std::string& text) const {
    std::ofstream(dir / "Lumaflash.ini", std::ios::binary) << text;
  }

  testing::TempDir dir;
  testing::RecordingFeedback feedback;
  Session session;
};

TEST(LastImage, RecallAfterAScanAndTheAutomaticRepeat) {
  struct Case {
    const char* name;
    std::vector<uint16_t> found;
    std::string settings;  // "$IMAGE" stands for an image file that exists
    bool imageExists;
    bool recalled;  // the path is taken from LAST_OPEN
    bool enabled;   // the box is enabled and "Last file: ..." told
    bool useLast;
    bool autoRepeat;
  };
  const std::string stamp = "[APP]\nLAST_DEVICE=" + settings::FormatUpdateStamp(0x3514, kToday);
  const Case cases[] = {
      {"no settings", {0x3514}, "", false, false, false, false, false},
      {"last image kept, flag on, stamped today",
       {0x3514},
       "[3514]\nLAST_OPEN=$IMAGE\nUSE_LAST_AGAIN=10\n" + stamp,
       true,
       true,
       true,
       true,
       true},
      {"flag off",
       {0x3514},
       "[3514]\nLAST_OPEN=$IMAGE\nUSE_LAST_AGAIN=yes\n" + stamp,
       true,
       true,
       true,
       false,
       false},
      {"stamped another day",
       {0x3514},
       "[3514]\nLAST_OPEN=$IMAGE\nUSE_LAST_AGAIN=1\n[APP]\nLAST_DEVICE=351405122026\n",
       true,
       true,
       true,
       true,
       false},
      {"last image deleted",
       {0x3514},
       "[3514]\nLAST_OPEN=$IMAGE\nUSE_LAST_AGAIN=1\n" + stamp,
       false,
       true,
       false,
       false,
       false},
      {"two interfaces",
       {0x3514, 0x3514},
       "[3514]\nLAST_OPEN=$IMAGE\nUSE_LAST_AGAIN=1\n" + stamp,
       true,
       false,
       false,
       false,
       false},
      {"stamp of another type",
       {0x3409},
       "[3409]\nLAST_OPEN=$IMAGE\nUSE_LAST_AGAIN=1\n" + stamp,
       true,
       true,
       true,
       true,
       false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Desk desk(c.found);
    const std::string image = (desk.dir / "last.bin").string();
    if (c.imageExists) {
      desk.dir.Write("last.bin", std::vector<uint8_t>{1});
    }
    std::string text = c.settings;
    if (const auto at = text.find("$IMAGE"); at != std::string::npos) {
      text.replace(at, 6, image);
    }
    desk.Settings(text);

    settings::RecallLastImage(desk.session);
    EXPECT_EQ(desk.session.currentImagePath, c.recalled ? image : "");
    EXPECT_EQ(desk.feedback.useLastEnabled, c.enabled);
    EXPECT_EQ(desk.feedback.Said("Last file: " + image), c.enabled);
    EXPECT_EQ(desk.session.useLastAgain, c.useLast);
    EXPECT_EQ(settings::IsAutoRepeatDue(desk.session), c.autoRepeat);
    EXPECT_FALSE(desk.session.settingsErrorReported);
  }
}

// A settings file that cannot be used costs the conveniences, is told once with the alert, and
// leaves every read at its default.
TEST(LastImage, UnusableSettingsFileIsToldOnceAndReadsGiveDefaults) {
  Desk desk({0x3514});
  std::filesystem::create_directory(desk.dir / "Lumaflash.ini");
  EXPECT_EQ(settings::ReadLastOpen(desk.session, 0x3514, "fallback.bin"), "fallback.bin");
  settings::WriteLastOpen(desk.session, 0x3514, "new.bin");
  settings::WriteUseLastAgain(desk.session, 0x3514, true);
  settings::StampUpdate(desk.session, 0x3514);
  desk.session.useLastAgain = true;
  EXPECT_FALSE(settings::IsAutoRepeatDue(desk.session));
  ASSERT_EQ(desk.feedback.statuses.size(), 1u);
  EXPECT_TRUE(desk.feedback.statuses[0].alert);
  EXPECT_NE(desk.feedback.statuses[0].text.find("is a directory"), std::string::npos)
      << desk.feedback.statuses[0].text;
  EXPECT_TRUE(std::filesystem::is_directory(desk.dir / "Lumaflash.ini"));
}

TEST(UpdatePaths, InterruptedMisdirectedAndEmptyRequestsSendNothingFurther) {
  auto device = testing::StartDevice(testing::Device(0x3514, 64));
  ASSERT_NE(device, nullptr);
  Desk desk({0x3514});
  desk.session.interfaces[0].blockSize = 64;
  desk.session.interfaces[0].portPath = device->Path();
  const std::vector<uint8_t> payload = sim::PatternPayload(4 * 64, 1);
  const std::string image = desk.dir.Write("image.bin", sim::BuildImageFile(1, 0x3514, payload));

  // Nothing chosen: nothing happens, nothing is shown.
  EXPECT_EQ(update::FlashInterface(desk.session, 0).result, update::FlashResult::NoImagePath);
  EXPECT_TRUE(desk.feedback.statuses.empty());

  desk.session.currentImagePath = image;
  for (const int index : {-1, 1, 99}) {
    SCOPED_TRACE(index);
    const update::FlashOutcome outcome = update::FlashInterface(desk.session, index);
    EXPECT_EQ(outcome.result, update::FlashResult::NoSuchInterface);
    EXPECT_EQ(outcome.statusLine, "Wrong interface selection !");
  }

  // Ctrl+C before the first block: the device got the start packet only, and is not started.
  const std::atomic<bool> cancel{true};
  desk.session.cancel = &cancel;
  const update::FlashOutcome outcome = update::FlashInterface(desk.session, 0);
  EXPECT_EQ(outcome.result, update::FlashResult::Interrupted);
  EXPECT_EQ(outcome.statusLine, "Update interrupted: " + device->Path() +
                                    " was not fully written. Start the update again before "
                                    "using it.");
  const auto got = device->Snapshot();
  EXPECT_EQ(got.Packets().size(), 1u);
  EXPECT_FALSE(got.RunReceived());
  EXPECT_FALSE(desk.feedback.Said("RUN application."));
  serial::PortLink next;
  EXPECT_TRUE(next.OpenPort(serial::PortAddress{1, device->Path()})) << "the port was closed";
}

TEST(UpdatePaths, EveryResultAndPortErrorHasItsOwnWords) {
  std::set<std::string> names;
  for (int i = 0; i <= static_cast<int>(update::FlashResult::NoSuchInterface); ++i) {
    const std::string name = update::FlashResultName(static_cast<update::FlashResult>(i));
    EXPECT_NE(name, "unknown") << i;
    names.insert(name);
  }
  EXPECT_EQ(names.size(), static_cast<std::size_t>(update::FlashResult::NoSuchInterface) + 1);

  std::set<std::string> sentences;
  std::set<std::string> words;
  for (int i = 0; i <= static_cast<int>(serial::PortError::Unusable); ++i) {
    const serial::PortFailure failure{static_cast<serial::PortError>(i), EIO, "/dev/ttyX"};
    const std::string sentence = serial::DescribePortFailure(failure);
    EXPECT_EQ(sentence.rfind("/dev/ttyX", 0), 0u) << sentence;
    sentences.insert(sentence);
    words.insert(serial::PortErrorName(failure.error));
  }
  EXPECT_EQ(sentences.size(), static_cast<std::size_t>(serial::PortError::Unusable) + 1);
  EXPECT_EQ(words.size(), sentences.size());
}

// Programming packets refuse what would read past the caller's data or a missing record,
// without sending a byte.
TEST(UpdatePaths, ProgrammerRefusesBadArgumentsBeforeSending) {
  testing::RawPty pty;
  serial::PortLink link;
  ASSERT_TRUE(link.OpenPort(serial::PortAddress{1, pty.Path()}));
  protocol::Programmer programmer(link);
  protocol::InterfaceRecord record;
  record.blockSize = 64;
  const std::vector<uint8_t> shortData(63);
  const std::vector<uint8_t> data(64);
  EXPECT_FALSE(programmer.SendStart(nullptr, 64));
  EXPECT_FALSE(programmer.SendBlock(nullptr, data));
  EXPECT_FALSE(programmer.SendBlock(&record, shortData));
  record.blockSize = 0;
  EXPECT_FALSE(programmer.SendBlock(&record, data));
  EXPECT_TRUE(pty.Received(50).empty());

  // A closed link: no packet can be acknowledged.
  link.ClosePort();
  record.blockSize = 64;
  EXPECT_FALSE(programmer.SendStart(&record, 64));
  EXPECT_FALSE(programmer.SendBlock(&record, data));
}

}  // namespace
}  // namespace lumaflash
