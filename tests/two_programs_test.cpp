// Two programs meeting at one port, and an update whose settings file cannot be written: the
// device must get exactly its image, and nothing that went wrong beside it may pass unseen.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "discovery/scan.h"
#include "session.h"
#include "settings/last_image.h"
#include "sim/image_file.h"
#include "support/read_file.h"
#include "support/recording_feedback.h"
#include "support/run_program.h"
#include "support/sim_devices.h"
#include "support/temp_dir.h"
#include "update/flash.h"

namespace lumaflash {
namespace {

// Runs `during` once, from inside the update, just before block `atBlock` goes out: the port is
// then certainly held, with no guessing at timing.
class InterruptingFeedback : public testing::RecordingFeedback {
 public:
  InterruptingFeedback(uint32_t atBlock, std::function<void()> during)
      : m_atBlock(atBlock), m_during(std::move(during)) {}

  void StepProgress() override {
    RecordingFeedback::StepProgress();
    if (progressSteps == m_atBlock) {
      m_during();
    }
  }

 private:
  uint32_t m_atBlock;
  std::function<void()> m_during;
};

TEST(TwoPrograms, ScanOfAPortBeingUpdatedFindsItBusyAndSendsNothing) {
  testing::TempDir dir;
  auto device = testing::StartDevice(testing::Device(0x3514, 256));
  ASSERT_NE(device, nullptr);
  const std::vector<uint8_t> payload = sim::PatternPayload(40 * 256, 3);
  auto image = std::make_unique<update::FirmwareImage>();
  image->deviceId = 0x3514;
  image->length = static_cast<uint32_t>(payload.size());
  std::copy(payload.begin(), payload.end(), image->data.begin());
  protocol::InterfaceRecord record;
  record.bootloaderVersion = 0x0100;
  record.deviceId = 0x3514;
  record.blockSize = 256;
  record.portNumber = 1;
  record.portPath = device->Path();

  testing::ProgramResult second;
  std::size_t packetsBeforeScan = 0;
  InterruptingFeedback feedback(20, [&] {
    packetsBeforeScan = device->Snapshot().Packets().size();
    second =
        testing::RunProgram({LUMAFLASH_CLI_PATH, "scan", "--port", device->Path()}, dir.Path());
  });
  const update::FlashOutcome outcome = update::TransferImage(record, *image, "big.bin", feedback);

  EXPECT_EQ(outcome.result, update::FlashResult::Success) << outcome.statusLine;
  EXPECT_EQ(second.exitCode, 0) << second.err;
  EXPECT_NE(second.err.find(device->Path() + " is busy"), std::string::npos) << second.err;
  EXPECT_NE(second.out.find("0 Interfaces found"), std::string::npos) << second.out;

  const auto got = device->Snapshot();
  EXPECT_EQ(packetsBeforeScan, 20u) << "the start packet and 19 blocks had gone out";
  EXPECT_EQ(got.Image(), payload);
  EXPECT_EQ(got.BlockCount(), 40);
  EXPECT_TRUE(got.RunReceived());
  // Start, 40 blocks, run: not one byte more, so the second program sent nothing.
  EXPECT_EQ(got.Packets().size(), 42u);
  EXPECT_TRUE(
      std::none_of(got.Packets().begin(), got.Packets().end(),
                   [](const std::vector<uint8_t>& p) { return p == std::vector<uint8_t>{0xB0}; }));
  EXPECT_TRUE(got.ProtocolViolations().empty());
}

// What a child process reports back about one update.
struct UpdateReport {
  std::string result;
  bool imageReceived = false;
  std::vector<testing::RecordingFeedback::Status> statuses;
};

// Scans one simulated device and updates it in a child process, after `prepare` ran there (to
// set limits that must not reach the test itself). The child starts the device itself, so the
// fork happens while this process has no other threads.
UpdateReport UpdateInChild(const std::filesystem::path& settingsDirectory,
                           const std::filesystem::path& imageFile,
                           const std::vector<uint8_t>& payload,
                           const std::function<void()>& prepare) {
  std::array<int, 2> pipeFds{};
  if (::pipe(pipeFds.data()) != 0) {
    return {"pipe failed", false, {}};
  }
  const pid_t child = ::fork();
  if (child == 0) {
    ::close(pipeFds[0]);
    prepare();
    testing::RecordingFeedback feedback;
    std::string report;
    {
      auto device = testing::StartDevice(testing::Device(0x3514, 256));
      Session session(feedback);
      session.namedPorts = {device->Path()};
      session.recallLastImage = false;
      settings::SetupSettings(session, settingsDirectory);
      discovery::ScanInterfaces(session);
      feedback.statuses.clear();
      session.currentImagePath = imageFile.string();
      const update::FlashOutcome outcome = update::FlashInterface(session, 0);
      const auto got = device->Snapshot();
      report = std::string(update::FlashResultName(outcome.result)) + "\n" +
               (got.Image() == payload && got.RunReceived() ? "1" : "0") + "\n";
    }
    for (const auto& status : feedback.statuses) {
      report += (status.alert ? "!" : " ") + status.text + "\n";
    }
    const ssize_t ignored = ::write(pipeFds[1], report.data(), report.size());
    static_cast<void>(ignored);
    ::_exit(0);
  }
  ::close(pipeFds[1]);
  std::string text;
  std::array<char, 512> buffer{};
  ssize_t got = 0;
  while ((got = ::read(pipeFds[0], buffer.data(), buffer.size())) > 0) {
    text.append(buffer.data(), static_cast<std::size_t>(got));
  }
  ::close(pipeFds[0]);
  int status = 0;
  ::waitpid(child, &status, 0);
  if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) {
    return {"child ended with status " + std::to_string(status), false, {}};
  }
  UpdateReport report;
  std::size_t start = 0;
  for (int line = 0; start < text.size(); ++line) {
    const std::size_t end = text.find('\n', start);
    const std::string current = text.substr(start, end - start);
    start = end + 1;
    if (line == 0) {
      report.result = current;
    } else if (line == 1) {
      report.imageReceived = current == "1";
    } else {
      report.statuses.push_back({current.substr(1), current.front() == '!'});
    }
  }
  return report;
}

TEST(TwoPrograms, UnwritableSettingsFileDoesNotUndoTheUpdate) {
  struct Case {
    const char* name;
    bool parentIsAFile;  // otherwise a file-size limit, which binds root too
    const char* advice;
  };
  const Case cases[] = {
      {"parent of the settings file is a file", true, "exists and is a folder"},
      {"file-size limit", false, "ulimit -f"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    testing::TempDir dir;
    const std::vector<uint8_t> payload = sim::PatternPayload(4 * 256, 9);
    const auto imageFile = dir.Write("image.bin", sim::BuildImageFile(1, 0x3514, payload));
    std::filesystem::path settingsDirectory = dir.Path();
    // Larger than the limit below, so that no complete new file can be written.
    const std::string before = "; " + std::string(2000, '-') + "\n[APP]\nLAST_DEVICE=old\n";
    if (c.parentIsAFile) {
      settingsDirectory = dir.Write("plain-file", std::vector<uint8_t>{'x'});
    } else {
      dir.Write("Lumaflash.ini", std::vector<uint8_t>(before.begin(), before.end()));
    }

    const UpdateReport report = UpdateInChild(settingsDirectory, imageFile, payload, [&] {
      if (!c.parentIsAFile) {
        ::signal(SIGXFSZ, SIG_IGN);
        const rlimit limit{1024, 1024};
        ::setrlimit(RLIMIT_FSIZE, &limit);
      }
    });

    EXPECT_EQ(report.result, "ok");
    EXPECT_TRUE(report.imageReceived) << "the device got its image and the run packet";
    ASSERT_GE(report.statuses.size(), 3u);
    EXPECT_EQ(report.statuses[1].text, "RUN application.");
    const auto& problem = report.statuses.back();
    EXPECT_TRUE(problem.alert);
    EXPECT_NE(problem.text.find((settingsDirectory / "Lumaflash.ini").string()), std::string::npos)
        << problem.text;
    EXPECT_NE(problem.text.find(c.advice), std::string::npos) << problem.text;
    if (c.parentIsAFile) {
      EXPECT_EQ(testing::ReadWholeFile(settingsDirectory), "x");
    } else {
      EXPECT_EQ(testing::ReadWholeFile(dir / "Lumaflash.ini"), before);
    }
  }
}

}  // namespace
}  // namespace lumaflash
