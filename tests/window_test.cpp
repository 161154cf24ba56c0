// The Qt face of the window under Qt's offscreen platform, against a simulated device on a
// pseudo-terminal: it draws what its controller says and forwards what the operator does (the
// rules themselves are window_controller_test's). The file dialog and the message box are
// answered at their seam; the real file dialog and the About box are tested as they are.
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

#include <algorithm>
#include <array>
#include <fstream>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "about_dlg.h"
#include "lumaflash_dlg.h"
#include "sim/image_file.h"
#include "support/sim_devices.h"
#include "support/temp_dir.h"

namespace lumaflash::app {
namespace {

// One application for all tests, made before the first and destroyed after the last, while
// Qt's own globals are still alive (a function-local static would outlive them).
class QtEnvironment : public ::testing::Environment {
 public:
  void SetUp() override {
    qputenv("QT_QPA_PLATFORM", "offscreen");
    m_application = std::make_unique<QApplication>(m_argc, m_argv.data());
  }
  void TearDown() override { m_application.reset(); }

 private:
  int m_argc = 1;
  std::array<char, 12> m_name{"window_test"};
  std::array<char*, 2> m_argv{m_name.data(), nullptr};
  std::unique_ptr<QApplication> m_application;
};

// gtest owns the environment it is given.
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

// A window in a temporary current directory with one simulated device.
struct Bench : Answers {
  void Open(const std::string& settings = "") {
    std::ofstream(dir / "Lumaflash.ini") << settings;
    window = std::make_unique<CLumaflashDlg>(WindowSetup{{device->Path()}, dir.Path()}, Seams());
    window->ShowAndSetUp();
    EXPECT_TRUE(QTest::qWaitFor(
        [&] { return window->Controller().IsSetUp() && !window->Controller().IsBusy(); }, 10000));
  }
  testing::TempDir dir;
  std::unique_ptr<sim::PtyDevice> device = testing::StartDevice(testing::Device(0x3514, 512));
  std::unique_ptr<CLumaflashDlg> window;
};

// The face draws exactly what the view is told, and holds input back when told to.
TEST(Window, DrawsWhatTheViewIsTold) {
  Answers answers;
  CLumaflashDlg window(WindowSetup{}, answers.Seams());  // never set up: it scans nothing
  QTreeWidget& list = *window.InterfaceList();
  EXPECT_EQ(window.windowTitle(), "Lumaflash - V1.3");
  EXPECT_EQ(list.headerItem()->text(2), "Serial");
  EXPECT_EQ(list.columnWidth(1), 50);
  window.ShowRows({{"Lumetta A", "1.05", "0A1BFF", "USB 16c0:05e1"}, {"B", "", "-", ""}}, 1);
  ASSERT_EQ(list.topLevelItemCount(), 2);
  EXPECT_EQ(list.topLevelItem(0)->text(2), "0A1BFF");
  EXPECT_EQ(list.topLevelItem(0)->toolTip(0), "USB 16c0:05e1");
  EXPECT_EQ(window.SelectedRows(), std::vector<int>{1});
  window.ShowStatus({"one", "two"});
  EXPECT_EQ(window.StatusLog()->count(), 2);
  EXPECT_EQ(window.StatusLog()->item(1)->text(), "two");
  const std::array<std::array<uint32_t, 4>, 3> bars{
      {// told upper, position; drawn max, value
       {10, 5, 10, 5},
       {1, 0, 1, 0},
       {0xffffffff, 0xffffffff, 0x7fffffff, 0x7fffffff}}};
  for (const auto& [upper, position, maximum, value] : bars) {
    window.ShowProgress(upper, position);
    EXPECT_EQ(window.Progress()->maximum(), static_cast<int>(maximum)) << upper;
    EXPECT_EQ(window.Progress()->value(), static_cast<int>(value)) << upper;
  }
  window.ShowWaitCursor(true);
  EXPECT_EQ(QApplication::overrideCursor()->shape(), Qt::WaitCursor);
  window.ShowWaitCursor(false);
  EXPECT_EQ(QApplication::overrideCursor(), nullptr);
  window.ShowUseLast(true, true);
  EXPECT_TRUE(window.UseLastBox()->isEnabled() && window.UseLastBox()->isChecked());
  window.EnableInput(false);
  QTest::keyClick(&list, Qt::Key_D, Qt::ControlModifier);
  EXPECT_TRUE(answers.messages.empty());
  window.EnableInput(true);
  QTest::keyClick(&list, Qt::Key_D, Qt::ControlModifier);
  EXPECT_EQ(answers.messages.size(), 1u);
}

// Answers the About box once it is up with OK, and keeps its title.
void AnswerAbout(QObject& context, QString& title) {
  QTimer::singleShot(50, &context, [&context, &title] {
    auto* about = qobject_cast<CAboutDlg*>(QApplication::activeModalWidget());
    if (about == nullptr) {
      AnswerAbout(context, title);
      return;
    }
    title = about->windowTitle() + " / " + about->findChild<QLabel*>("version")->text();
    QTest::mouseClick(about->findChild<QPushButton*>("ok"), Qt::LeftButton);
  });
}

// What the operator does reaches the controller: Esc and Enter do nothing, F1 (the context
// menu's entry) opens the About box, unticking "Use last again" makes Firmware-Update ask for
// the file; the update's feedback comes back to the face, and the window closes.
TEST(Window, OperatorThroughTheFace) {
  Bench bench;
  const std::vector<uint8_t> payload = sim::PatternPayload(3 * 512, 3);
  const std::string image =
      bench.dir.Write("a.bin", sim::BuildImageFile(1, 0x3514, payload)).string();
  bench.Open("[3514]\nLAST_OPEN=" + image + "\nUSE_LAST_AGAIN=1\n");
  CLumaflashDlg& window = *bench.window;
  QTest::keyClick(&window, Qt::Key_Escape);
  QTest::keyClick(window.UpdateButton(), Qt::Key_Return);
  EXPECT_TRUE(window.isVisible());
  EXPECT_TRUE(bench.asked.empty());

  ASSERT_EQ(window.actions().size(), 1);
  EXPECT_EQ(window.actions()[0]->text(), QStringLiteral("Inf&o über Lumaflash..."));
  EXPECT_EQ(window.contextMenuPolicy(), Qt::ActionsContextMenu);
  QObject context;
  QString about;
  AnswerAbout(context, about);
  QTest::keyClick(&window, Qt::Key_F1);
  EXPECT_EQ(about, QStringLiteral("Info über Lumaflash / Lumaflash Version 1.3"));

  ASSERT_TRUE(window.UseLastBox()->isEnabled() && window.UseLastBox()->isChecked());
  QTest::mouseClick(window.UseLastBox(), Qt::LeftButton);
  bench.fileAnswer = image;
  QTest::mouseClick(window.UpdateButton(), Qt::LeftButton);
  EXPECT_EQ(bench.asked, std::vector{image});
  EXPECT_TRUE(QTest::qWaitFor([&] { return !window.isVisible(); }, 10000));
  EXPECT_EQ(window.result(), QDialog::Rejected);
  EXPECT_EQ(QApplication::overrideCursor(), nullptr);
  const sim::DeviceModel got = bench.device->Snapshot();
  EXPECT_TRUE(got.RunReceived() && std::equal(payload.begin(), payload.end(), got.Image().begin()));
}

// The real side of the file-dialog seam: where it opens, what it lists, what it returns.
TEST(Window, RealFileDialogOffersFirmwareFiles) {
  ASSERT_NE(QApplication::instance(), nullptr);
  testing::TempDir dir;
  const std::string image = dir.Write("dimmer.bin", std::vector<uint8_t>{1}).string();
  struct Case {
    std::string fileName;  // offered by the request
    bool accept;
    std::optional<std::string> result;
  };
  const Case cases[] = {
      {"", true, std::nullopt},  // nothing picked: cannot accept
      {"dimmer.bin", true, image},
      {"dimmer.bin", false, std::nullopt},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.fileName);
    QString directory;
    QStringList filters;
    QObject guard;  // the answer below dies with this case
    QTimer::singleShot(50, &guard, [&] {
      auto* dialog = qobject_cast<QFileDialog*>(QApplication::activeModalWidget());
      ASSERT_NE(dialog, nullptr);
      directory = dialog->directory().absolutePath();
      filters = dialog->nameFilters();
      if (c.accept && !dialog->selectedFiles().isEmpty() &&
          QFileInfo(dialog->selectedFiles().constFirst()).isFile()) {
        static_cast<QDialog*>(dialog)->accept();  // accept() is protected in QFileDialog
      } else {
        dialog->reject();
      }
    });
    FileRequest request;
    request.directory = dir.Path().string();
    request.fileName = c.fileName;
    const auto chosen = DialogSeams::Real().chooseImage(nullptr, request);
    EXPECT_EQ(chosen, c.result);
    EXPECT_EQ(directory, QString::fromStdString(dir.Path().string()));
    EXPECT_EQ(filters, QStringList{"Firmware File (*.bin)"});
  }
}

TEST(Window, LayoutKeepsItsProportionsAtAnyFontSize) {
  Answers answers;
  CLumaflashDlg window(WindowSetup{}, answers.Seams());
  const QSize normal = window.size();
  const QRect list = window.InterfaceList()->geometry();
  const QRect progress = window.Progress()->geometry();
  // 304 x 158 units; the list spans 7..297 across, the progress bar ends at 297 too.
  EXPECT_NEAR(list.left() * 304.0 / normal.width(), 7, 0.5);
  EXPECT_NEAR(list.width() * 304.0 / normal.width(), 290, 1);
  EXPECT_NEAR((progress.right() + 1) * 304.0 / normal.width(), 297, 1);
  EXPECT_NEAR(progress.top() * 158.0 / normal.height(), 142, 1);

  QFont big = window.font();
  big.setPointSizeF(big.pointSizeF() * 2);
  window.setFont(big);
  EXPECT_NEAR(window.width() / static_cast<double>(normal.width()), 2.0, 0.2);
  EXPECT_NEAR(window.height() / static_cast<double>(normal.height()), 2.0, 0.2);
  std::printf("window at the default font: %d x %d pixels\n", normal.width(), normal.height());
}

}  // namespace
}  // namespace lumaflash::app
