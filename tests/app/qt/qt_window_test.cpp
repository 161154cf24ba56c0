// The Qt face, offscreen: draws what it is told, forwards what the operator does, real dialogs.
#include <gtest/gtest.h>
#include <QApplication>
#include <QCheckBox>
#include <QFileDialog>
#include <QLabel>
#include <QListWidget>
#include <QProgressBar>
#include <QPushButton>
#include <QTest>
#include <QTimer>
#include <QTreeWidget>

#include <signal.h>

#include <array>
#include <fstream>
#include <memory>

#include "app/qt/about_box.h"
#include "app/qt/qt_window.h"
#include "core/settings/settings.h"
#include "lumaflash_version.h"
#include "sim/image_file.h"
#include "tests/support/raw_pty.h"
#include "tests/support/run_program.h"
#include "tests/support/sim_devices.h"
#include "tests/support/temp_dir.h"

namespace lumaflash::app {
namespace {

// One application for all tests, gone before Qt's own globals (a function-local static is not).
struct QtEnvironment : ::testing::Environment {
  void SetUp() override {
    qputenv("QT_QPA_PLATFORM", "offscreen");
    application = std::make_unique<QApplication>(argc, argv.data());
  }
  void TearDown() override { application.reset(); }
  int argc = 1;
  std::array<char, 12> name{"window_test"};
  std::array<char*, 2> argv{name.data(), nullptr};
  std::unique_ptr<QApplication> application;
};
[[maybe_unused]] const ::testing::Environment* const kQtEnvironment =
    ::testing::AddGlobalTestEnvironment(new QtEnvironment);

// Seams that answer from here: the file dialog with `fileAnswer`, message boxes into `messages`.
struct Answers {
  DialogSeams Seams() {
    return {[this](QWidget*, const FileRequest& request) {
              asked.push_back(request.initialName);
              return fileAnswer;
            },
            [this](QWidget*, const QString& text) { messages.push_back(text); }, [] {}};
  }
  std::vector<std::string> asked;
  std::optional<std::string> fileAnswer;
  std::vector<QString> messages;
};

// The face draws exactly what the view is told, and holds input back when told to.
TEST(Window, DrawsWhatTheViewIsTold) {
  Answers answers;
  QtWindow window(WindowSetup{}, answers.Seams());  // never set up: it scans nothing
  QTreeWidget& list = *window.InterfaceList();
  window.ShowRows({{"Lumetta A", "1.05", "0A1BFF", "USB 16c0:05e1"}, {"B", "", "-", ""}}, 1);
  ASSERT_EQ(list.topLevelItemCount(), 2);
  EXPECT_EQ(list.topLevelItem(0)->text(2) + list.topLevelItem(0)->toolTip(0),
            "0A1BFFUSB 16c0:05e1");
  EXPECT_EQ(window.SelectedRows(), std::vector<int>{1});
  window.ShowStatus({"one", "two"});
  EXPECT_TRUE(window.StatusLog()->count() == 2 && window.StatusLog()->item(1)->text() == "two");
  window.ShowProgress(0xffffffff, 0xffffffff);  // drawn within the bar's int range
  EXPECT_TRUE(window.Progress()->maximum() == 0x7fffffff &&
              window.Progress()->value() == 0x7fffffff);
  window.ShowWaitCursor(true);
  EXPECT_EQ(QApplication::overrideCursor()->shape(), Qt::WaitCursor);
  window.ShowWaitCursor(false);
  EXPECT_EQ(QApplication::overrideCursor(), nullptr);
  window.EnableInput(false);
  QTest::keyClick(&list, Qt::Key_D, Qt::ControlModifier);  // held back
  window.EnableInput(true);
  QTest::keyClick(&list, Qt::Key_D, Qt::ControlModifier);
  EXPECT_EQ(answers.messages.size(), 1u);
}

// What the operator does reaches the controller: Esc and Enter do nothing, F1 (the context
// menu's entry) opens the About box, unticking "Use last again" makes Firmware-Update ask for
// the file; the update's feedback comes back to the face, and the window closes.
TEST(Window, OperatorThroughTheFace) {
  Answers bench;
  testing::TempDir dir;
  const auto device = testing::StartDevice(testing::Device(0x3514, 512));
  const std::vector<uint8_t> payload = sim::PatternPayload(3 * 512, 3);
  const std::string image = dir.Write("a.bin", sim::BuildImageFile(1, 0x3514, payload)).string();
  std::ofstream(dir / "Lumaflash.ini") << "[3514]\nLAST_OPEN=" + image + "\nUSE_LAST_AGAIN=1\n";
  QtWindow window(WindowSetup{{device->Path()}, dir.Path()}, bench.Seams());
  window.ShowAndSetUp();
  ASSERT_TRUE(QTest::qWaitFor(
      [&] { return window.Controller().IsSetUp() && !window.Controller().IsBusy(); }, 10000));
  QTest::keyClick(&window, Qt::Key_Escape);
  QTest::keyClick(window.UpdateButton(), Qt::Key_Return);
  EXPECT_TRUE(window.isVisible() && bench.asked.empty());
  EXPECT_EQ(window.actions().size() == 1 ? window.actions()[0]->text() : QString(),
            QStringLiteral("Inf&o über Lumaflash..."));
  QString about;  // the About box's title and version, answered with OK once it is up
  QTimer timer;
  QObject::connect(&timer, &QTimer::timeout, [&] {
    if (auto* box = qobject_cast<AboutBox*>(QApplication::activeModalWidget())) {
      about = box->windowTitle() + " / " + box->findChild<QLabel*>("version")->text();
      QTest::mouseClick(box->findChild<QPushButton*>("ok"), Qt::LeftButton);
    }
  });
  timer.start(50);
  QTest::keyClick(&window, Qt::Key_F1);
  EXPECT_EQ(about, QStringLiteral("Info über Lumaflash / Lumaflash Version ") +
                       QString::fromUtf8(lumaflash::kVersion));
  ASSERT_TRUE(window.UseLastBox()->isEnabled() && window.UseLastBox()->isChecked());
  QTest::mouseClick(window.UseLastBox(), Qt::LeftButton);
  bench.fileAnswer = image;
  QTest::mouseClick(window.UpdateButton(), Qt::LeftButton);
  EXPECT_EQ(bench.asked, std::vector{image});
  EXPECT_TRUE(QTest::qWaitFor([&] { return !window.isVisible(); }, 10000));
  EXPECT_TRUE(testing::ReceivedExactly(*device, payload));
}

// SIGTERM to the program while its automatic repeat updates a device: the update stops between
// two blocks, no run packet goes out, the port gets its line settings back, exit status 10.
TEST(Window, SignalStopsTheUpdateInOrder) {
  testing::TempDir dir;
  const auto device = testing::StartDevice(testing::Device(0x3514, 64));  // 10 ms per block
  const std::string image =
      dir.Write("a.bin", sim::BuildImageFile(1, 0x3514, sim::PatternPayload(200 * 64, 4))).string();
  std::ofstream(dir / "Lumaflash.ini")
      << "[3514]\nLAST_OPEN=" + image + "\nUSE_LAST_AGAIN=1\n[APP]\nLAST_DEVICE=" +
             settings::FormatUpdateStamp(0x3514, settings::TodayLocal()) + "\n";
  const termios before = testing::TerminalLine(device->Path());
  testing::RunningProgram window({LUMAFLASH_APP_PATH, "--port", device->Path()}, dir.Path());
  EXPECT_TRUE(QTest::qWaitFor([&] { return device->Snapshot().BlockCount() >= 5; }, 10000));
  window.Signal(SIGTERM);
  const auto result = window.Finish();
  EXPECT_EQ(result.exitCode, 10) << result.err;
  const sim::DeviceModel got = device->Snapshot();
  EXPECT_FALSE(got.RunReceived());
  EXPECT_LT(got.BlockCount(), 200);
  EXPECT_TRUE(testing::SameLine(device->Path(), before)) << "line settings not given back";
}

// A stop asked for while the About box is open ends the window anyway: the box is closed for it.
TEST(Window, StopClosesAnOpenDialog) {
  Answers answers;
  QtWindow window(WindowSetup{}, answers.Seams());  // never set up: it scans nothing
  window.show();
  bool closedByHand = false;
  QTimer::singleShot(0, &window, [&] { window.Controller().OnStopRequested(); });
  QTimer::singleShot(5000, &window, [&] {  // only so that a failure does not hang the suite
    if (auto* box = qobject_cast<AboutBox*>(QApplication::activeModalWidget())) {
      closedByHand = true;
      box->reject();
    }
  });
  window.ShowAbout();  // returns when the box has closed
  EXPECT_FALSE(closedByHand);
  EXPECT_FALSE(window.isVisible());
  EXPECT_EQ(window.Controller().ExitStatus(), kInterruptedExit);
}

// The real side of the file-dialog seam: where it opens, what it lists, what it returns.
TEST(Window, RealFileDialogOffersFirmwareFiles) {
  testing::TempDir dir;
  const std::string image = dir.Write("dimmer.bin", std::vector<uint8_t>{1}).string();
  using Case = std::tuple<std::string, bool, std::optional<std::string>>;
  for (const auto& [fileName, accept, result] :
       {Case{"", true, {}}, Case{"dimmer.bin", true, image}, Case{"dimmer.bin", false, {}}}) {
    QString directory;
    QStringList filters;
    // Looks for the dialog until it is up and answers it then, however long it takes to come:
    // the dialog's own loop runs this timer, so nothing waits for a guessed time.
    QTimer answer;
    QObject::connect(&answer, &QTimer::timeout, [&] {
      auto* dialog = qobject_cast<QFileDialog*>(QApplication::activeModalWidget());
      if (dialog == nullptr || !dialog->isVisible()) {
        return;
      }
      answer.stop();
      directory = dialog->directory().absolutePath();
      filters = dialog->nameFilters();
      const bool picked = QFileInfo(dialog->selectedFiles().value(0)).isFile();
      (accept && picked) ? static_cast<QDialog*>(dialog)->accept() : dialog->reject();
    });
    answer.start(10);
    FileRequest request;
    request.directory = dir.Path().string();
    request.fileName = fileName;
    EXPECT_EQ(DialogSeams::Real().chooseImage(nullptr, request), result) << fileName;
    EXPECT_EQ(directory, QString::fromStdString(dir.Path().string()));
    EXPECT_EQ(filters, QStringList{"Firmware File (*.bin)"});
  }
}

}  // namespace
}  // namespace lumaflash::app
