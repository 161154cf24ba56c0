// The real window under Qt's offscreen platform, against simulated devices on pseudo-terminals.
// The file dialog, the message box and the alert tone are answered at their seam; the About box
// is the real one.
#include <gtest/gtest.h>
#include <QApplication>
#include <QCheckBox>
#include <QFileDialog>
#include <QHeaderView>
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
#include <sstream>
#include <string>
#include <vector>

#include "about_dlg.h"
#include "about_entry.h"
#include "lumaflash_dlg.h"
#include "settings/settings.h"
#include "sim/image_file.h"
#include "support/sim_devices.h"
#include "support/temp_dir.h"

namespace lumaflash::app {
namespace {

constexpr settings::LocalDate kToday{6, 12, 2026};
constexpr settings::LocalDate kYesterday{5, 12, 2026};

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

void EnsureApplication() {
  ASSERT_NE(QApplication::instance(), nullptr);
}

std::string ReadText(const std::filesystem::path& path) {
  std::ifstream in(path);
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

// A window in a temporary current directory with its own simulated devices; the dialogs
// answer from here.
struct Bench {
  Bench() { EnsureApplication(); }
  ~Bench() {
    window.reset();
    devices.clear();
  }

  void AddDevice(sim::DeviceConfig config) {
    devices.push_back(testing::StartDevice(std::move(config)));
  }

  std::string WriteImage(const std::string& name, uint16_t deviceId, std::size_t length) {
    payloads.push_back(sim::PatternPayload(length, static_cast<uint32_t>(payloads.size() + 1)));
    return dir.Write(name, sim::BuildImageFile(1, deviceId, payloads.back())).string();
  }

  void WriteSettings(const std::string& text) const {
    std::ofstream(dir / "Lumaflash.ini") << text;
  }

  // Opens the window and waits until its set-up (with the first scan) is over.
  void Open(settings::LocalDate today = kToday) {
    WindowSetup setup;
    for (const auto& device : devices) {
      setup.ports.push_back(device->Path());
    }
    setup.ports.insert(setup.ports.end(), extraPorts.begin(), extraPorts.end());
    setup.directory = dir.Path();
    setup.today = [today] { return today; };
    setup.seams.chooseImage = [this](QWidget*, const FileDialogRequest& request) {
      fileRequests.push_back(request);
      return fileAnswer;
    };
    setup.seams.showMessage = [this](QWidget*, const QString& text) { messages.push_back(text); };
    setup.seams.beep = [this] { ++beeps; };
    window = std::make_unique<CLumaflashDlg>(std::move(setup));
    window->ShowAndSetUp();
    EXPECT_TRUE(QTest::qWaitFor([&] { return window->IsSetUp() && !window->IsBusy(); }, 10000));
  }

  std::vector<std::array<QString, 3>> Rows() const {
    std::vector<std::array<QString, 3>> rows;
    QTreeWidget& list = *window->InterfaceList();
    for (int i = 0; i < list.topLevelItemCount(); ++i) {
      QTreeWidgetItem& item = *list.topLevelItem(i);
      rows.push_back({item.text(0), item.text(1), item.text(2)});
    }
    return rows;
  }

  std::vector<int> SelectedRows() const {
    std::vector<int> rows;
    for (const QModelIndex& index : window->InterfaceList()->selectionModel()->selectedRows()) {
      rows.push_back(index.row());
    }
    return rows;
  }

  QStringList StatusLines() const {
    QStringList lines;
    for (int i = 0; i < window->StatusLog()->count(); ++i) {
      lines << window->StatusLog()->item(i)->text();
    }
    return lines;
  }

  void ClickUpdate() const { QTest::mouseClick(window->UpdateButton(), Qt::LeftButton); }

  bool Ended() const { return !window->isVisible() && window->result() == QDialog::Rejected; }

  // Whether the device took a whole image and was told to run it.
  bool Received(std::size_t device, const std::vector<uint8_t>& payload) const {
    const sim::DeviceModel got = devices[device]->Snapshot();
    return got.RunReceived() && got.Image().size() >= payload.size() &&
           std::equal(payload.begin(), payload.end(), got.Image().begin());
  }
  bool Untouched(std::size_t device) const {
    const sim::DeviceModel got = devices[device]->Snapshot();
    return !got.StartLengthByte().has_value() && !got.RunReceived();
  }

  testing::TempDir dir;
  std::vector<std::unique_ptr<sim::PtyDevice>> devices;
  std::vector<std::string> extraPorts;  // named as well, after the devices' ports
  std::vector<std::vector<uint8_t>> payloads;
  std::vector<FileDialogRequest> fileRequests;
  std::optional<std::string> fileAnswer;
  std::vector<QString> messages;
  int beeps = 0;
  std::unique_ptr<CLumaflashDlg> window;
};

sim::DeviceConfig Config(uint16_t deviceId, uint16_t firmwareVersion,
                         std::vector<uint8_t> serial = {}) {
  sim::DeviceConfig config = testing::Device(deviceId, 256);
  config.firmwareVersion = firmwareVersion;
  config.serial = std::move(serial);
  return config;
}

TEST(Window, ListShowsWhatTheScanFound) {
  struct Case {
    const char* name;
    std::vector<sim::DeviceConfig> devices;
    std::vector<std::array<QString, 3>> rows;
  };
  const Case cases[] = {
      {"none", {}, {}},
      {"one", {Config(0x3514, 0x0105, {0x0a, 0x1b, 0xff})}, {{"Lumetta A", "1.05", "0A1BFF"}}},
      {"three",
       {Config(0x3409, 0x0263), Config(0x9999, 0x0164), Config(0x3711, 0x1a0c, {0x01, 0x02})},
       {{"Lumetta B", "2.63", "Not available"},
        {"Unknown device", "", "Not available"},
        {"Lumetta C", "1A.0C", "0102"}}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Bench bench;
    for (const sim::DeviceConfig& config : c.devices) {
      bench.AddDevice(config);
    }
    bench.Open();
    EXPECT_EQ(bench.Rows(), c.rows);
    EXPECT_EQ(bench.SelectedRows(), c.rows.empty() ? std::vector<int>{} : std::vector<int>{0});
    EXPECT_EQ(bench.StatusLines(),
              QStringList{QString::number(c.rows.size()) + " Interfaces found"});
    EXPECT_EQ(bench.beeps, 0);
    EXPECT_FALSE(bench.window->UseLastBox()->isEnabled());
    EXPECT_FALSE(bench.window->AutoRepeatArmed());
    EXPECT_EQ(bench.window->Progress()->value(), 0);
    EXPECT_EQ(QApplication::overrideCursor(), nullptr);

    QTreeWidget& list = *bench.window->InterfaceList();
    EXPECT_EQ(list.headerItem()->text(0), "Device");
    EXPECT_EQ(list.headerItem()->text(1), "Version");
    EXPECT_EQ(list.headerItem()->text(2), "Serial");
    EXPECT_EQ(list.columnWidth(0), 200);
    EXPECT_EQ(list.columnWidth(1), 50);
    EXPECT_EQ(list.columnWidth(2), 180);
    EXPECT_EQ(list.selectionMode(), QAbstractItemView::SingleSelection);
    EXPECT_EQ(bench.window->windowTitle(), "Lumaflash - V1.3");
  }
}

TEST(Window, NamedPortThatCannotBeOpenedIsReported) {
  Bench bench;
  bench.AddDevice(Config(0x3514, 0x0105));
  bench.extraPorts = {(bench.dir / "no-such-port").string()};
  bench.Open();
  EXPECT_EQ(bench.Rows().size(), 1u);
  const QStringList lines = bench.StatusLines();
  ASSERT_EQ(lines.size(), 2);
  EXPECT_EQ(lines[0], "1 Interfaces found");
  EXPECT_TRUE(lines[1].contains(QString::fromStdString(bench.extraPorts[0])))
      << lines[1].toStdString();
  EXPECT_EQ(bench.beeps, 1);
}

TEST(Window, FindRescansAndTheLogKeepsThreeLines) {
  Bench bench;
  bench.AddDevice(Config(0x3514, 0x0105));
  bench.Open();
  for (int i = 0; i < 3; ++i) {
    QTest::mouseClick(bench.window->FindButton(), Qt::LeftButton);
  }
  EXPECT_EQ(bench.StatusLines().size(), 3);
  bench.window->AddStatus("first", false);
  bench.window->AddStatus("second", true);
  bench.window->AddStatus("third", false);
  bench.window->AddStatus("fourth", true);
  EXPECT_EQ(bench.StatusLines(), (QStringList{"second", "third", "fourth"}));
  EXPECT_EQ(bench.beeps, 2);
  EXPECT_EQ(bench.Rows().size(), 1u);
  EXPECT_EQ(QApplication::overrideCursor(), nullptr);
}

TEST(Window, UpdateNeedsExactlyOneSelectedRow) {
  Bench bench;
  bench.AddDevice(Config(0x3514, 0x0105));
  bench.AddDevice(Config(0x3711, 0x0105));
  bench.Open();
  bench.window->InterfaceList()->clearSelection();
  bench.ClickUpdate();
  EXPECT_EQ(bench.StatusLines().constLast(), "Wrong interface selection !");
  EXPECT_EQ(bench.beeps, 1);
  EXPECT_TRUE(bench.fileRequests.empty());
  EXPECT_FALSE(std::filesystem::exists(bench.dir / "Lumaflash.ini"));
  EXPECT_TRUE(bench.window->isVisible());
}

TEST(Window, FileDialogPathUpdatesAndEndsTheWindow) {
  Bench bench;
  bench.AddDevice(Config(0x3514, 0x0105));
  const std::string image = bench.WriteImage("lumetta-a.bin", 0x3514, 3000);
  bench.Open();
  bench.fileAnswer = image;
  bench.ClickUpdate();

  ASSERT_EQ(bench.fileRequests.size(), 1u);
  EXPECT_EQ(bench.fileRequests[0].initialName, (bench.dir.Path() / "*.bin").string());
  EXPECT_EQ(bench.fileRequests[0].filter, "Firmware File (*.bin)");
  EXPECT_EQ(bench.fileRequests[0].defaultSuffix, "bin");
  EXPECT_TRUE(bench.Received(0, bench.payloads[0]));
  EXPECT_TRUE(bench.Ended());
  EXPECT_EQ(QApplication::overrideCursor(), nullptr);
  const std::string ini = ReadText(bench.dir / "Lumaflash.ini");
  EXPECT_NE(ini.find("USE_LAST_AGAIN=0"), std::string::npos) << ini;
  EXPECT_NE(ini.find("LAST_OPEN=" + image), std::string::npos) << ini;
  EXPECT_NE(ini.find("LAST_DEVICE=351406122026"), std::string::npos) << ini;
  EXPECT_TRUE(bench.StatusLines().contains("RUN application."));
}

// Samples the window every few milliseconds while it is busy, and tries to get input through.
struct BusyProbe {
  explicit BusyProbe(CLumaflashDlg& watched) : window(watched) {
    QObject::connect(&timer, &QTimer::timeout, [this] { Sample(); });
    // Often enough to see the bar move between blocks (20 ms apart), rarely enough not to
    // starve the simulated device of the processor.
    timer.start(8);
  }
  void Sample() {
    if (!window.IsBusy()) {
      return;
    }
    // The update's bar counts blocks; the rescan after it counts ports (here one).
    if (window.Progress()->maximum() == updateRange) {
      ++samples;
      const QCursor* cursor = QApplication::overrideCursor();
      waitCursorEverywhere =
          waitCursorEverywhere && cursor != nullptr && cursor->shape() == Qt::WaitCursor;
      highestProgress = std::max(highestProgress, window.Progress()->value());
    }
    if (samples % 4 == 1) {
      QTest::keyClick(window.InterfaceList(), Qt::Key_D, Qt::ControlModifier);
      QTest::mouseClick(window.FindButton(), Qt::LeftButton);
    }
  }
  CLumaflashDlg& window;
  int updateRange = 10;
  QTimer timer;
  int samples = 0;
  bool waitCursorEverywhere = true;
  int highestProgress = 0;
};

TEST(Window, WhileUpdatingItShowsProgressAndTakesNoInput) {
  Bench bench;
  bench.AddDevice(Config(0x0008, 0x0105));  // 20 ms after every block of 512 bytes
  const std::string image = bench.WriteImage("norrix.bin", 0x0008, 10 * 512);
  bench.Open();
  bench.fileAnswer = image;
  BusyProbe probe(*bench.window);
  bench.ClickUpdate();
  EXPECT_TRUE(bench.Ended()) << bench.StatusLines().join(" | ").toStdString();
  EXPECT_TRUE(bench.Received(0, bench.payloads[0]));
  EXPECT_GT(probe.samples, 2);
  EXPECT_TRUE(probe.waitCursorEverywhere);
  EXPECT_GE(probe.highestProgress, 5);  // of 10 blocks: the bar moved while the worker ran
  EXPECT_TRUE(bench.messages.empty());  // Ctrl+D was held back
  EXPECT_EQ(QApplication::overrideCursor(), nullptr);
}

TEST(Window, CancelledFileDialogSendsNothing) {
  Bench bench;
  bench.AddDevice(Config(0x3514, 0x0105));
  bench.Open();
  bench.fileAnswer = std::nullopt;
  bench.ClickUpdate();
  EXPECT_EQ(bench.fileRequests.size(), 1u);
  EXPECT_TRUE(bench.Untouched(0));
  EXPECT_TRUE(bench.window->isVisible());
  EXPECT_EQ(QApplication::overrideCursor(), nullptr);
  EXPECT_NE(ReadText(bench.dir / "Lumaflash.ini").find("USE_LAST_AGAIN=0"), std::string::npos);
}

TEST(Window, AutomaticRepeatRunsOnlyOnTheDayOfTheLastUpdate) {
  struct Case {
    const char* name;
    settings::LocalDate stampDate;
    bool startsByItself;
  };
  const Case cases[] = {{"today's stamp", kToday, true}, {"yesterday's stamp", kYesterday, false}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Bench bench;
    bench.AddDevice(Config(0x3514, 0x0105));
    const std::string image = bench.WriteImage("last.bin", 0x3514, 2000);
    bench.WriteSettings("[3514]\nLAST_OPEN=" + image + "\nUSE_LAST_AGAIN=1\n[APP]\nLAST_DEVICE=" +
                        settings::FormatUpdateStamp(0x3514, c.stampDate) + "\n");
    bench.Open();
    EXPECT_TRUE(bench.window->UseLastBox()->isEnabled());
    EXPECT_TRUE(bench.window->UseLastBox()->isChecked());
    EXPECT_TRUE(bench.StatusLines().contains(QString::fromStdString("Last file: " + image)));
    EXPECT_EQ(bench.window->AutoRepeatArmed(), c.startsByItself);

    if (c.startsByItself) {
      EXPECT_TRUE(QTest::qWaitFor([&] { return bench.Ended(); }, 10000));
    } else {
      QTest::qWait(300);  // three times the repeat delay: nothing may start
      EXPECT_TRUE(bench.Untouched(0));
      EXPECT_TRUE(bench.window->isVisible());
      bench.ClickUpdate();
      EXPECT_TRUE(bench.Ended());
    }
    EXPECT_TRUE(bench.fileRequests.empty());
    EXPECT_TRUE(bench.Received(0, bench.payloads[0]));
    EXPECT_NE(ReadText(bench.dir / "Lumaflash.ini").find("LAST_DEVICE=351406122026"),
              std::string::npos);
  }
}

TEST(Window, UntickedBoxAsksForTheFileAgain) {
  Bench bench;
  bench.AddDevice(Config(0x3514, 0x0105));
  const std::string image = bench.WriteImage("last.bin", 0x3514, 600);
  bench.WriteSettings("[3514]\nLAST_OPEN=" + image + "\nUSE_LAST_AGAIN=1\n");
  bench.Open();
  ASSERT_TRUE(bench.window->UseLastBox()->isChecked());
  QTest::mouseClick(bench.window->UseLastBox(), Qt::LeftButton);
  ASSERT_FALSE(bench.window->UseLastBox()->isChecked());
  bench.fileAnswer = std::nullopt;
  bench.ClickUpdate();
  ASSERT_EQ(bench.fileRequests.size(), 1u);
  EXPECT_EQ(bench.fileRequests[0].initialName, image);
  EXPECT_TRUE(bench.Untouched(0));
  EXPECT_NE(ReadText(bench.dir / "Lumaflash.ini").find("USE_LAST_AGAIN=0"), std::string::npos);
}

TEST(Window, SecondOfTwoDevicesUsesItsOwnSectionAndPort) {
  Bench bench;
  bench.AddDevice(Config(0x3514, 0x0105));
  bench.AddDevice(Config(0x3711, 0x0105));
  const std::string image = bench.WriteImage("lumetta-c.bin", 0x3711, 1500);
  bench.WriteSettings("[3711]\nLAST_OPEN=" + image + "\n");
  bench.Open();
  QTreeWidget& list = *bench.window->InterfaceList();
  list.setCurrentItem(list.topLevelItem(1));
  ASSERT_EQ(bench.SelectedRows(), std::vector<int>{1});
  bench.fileAnswer = image;
  bench.ClickUpdate();

  ASSERT_EQ(bench.fileRequests.size(), 1u);
  EXPECT_EQ(bench.fileRequests[0].initialName, image);
  EXPECT_TRUE(bench.Received(1, bench.payloads[0]));
  EXPECT_TRUE(bench.Untouched(0));
  EXPECT_TRUE(bench.Ended());
  const std::string ini = ReadText(bench.dir / "Lumaflash.ini");
  EXPECT_NE(ini.find("[3711]\nLAST_OPEN=" + image + "\nUSE_LAST_AGAIN=0"), std::string::npos)
      << ini;
  EXPECT_EQ(ini.find("[3514]"), std::string::npos) << ini;
}

TEST(Window, KeysEscEnterAndCtrlD) {
  Bench bench;
  bench.AddDevice(Config(0x3514, 0x0105));
  bench.Open();
  bench.window->UpdateButton()->setFocus();
  QTest::keyClick(bench.window.get(), Qt::Key_Escape);
  QTest::keyClick(bench.window->UpdateButton(), Qt::Key_Escape);
  QTest::keyClick(bench.window->UpdateButton(), Qt::Key_Return);
  QTest::keyClick(bench.window->InterfaceList(), Qt::Key_Enter);
  EXPECT_TRUE(bench.window->isVisible());
  EXPECT_TRUE(bench.fileRequests.empty());
  EXPECT_TRUE(bench.messages.empty());

  QTest::keyClick(bench.window->InterfaceList(), Qt::Key_D, Qt::ControlModifier);
  ASSERT_EQ(bench.messages.size(), 1u);
  EXPECT_TRUE(bench.messages[0].startsWith("Find Interface START\nOpen "));
  EXPECT_TRUE(bench.messages[0].contains("Target Device: 3514"));
  EXPECT_FALSE(bench.messages[0].contains('\r'));
  QTest::keyClick(bench.window->InterfaceList(), Qt::Key_D);
  EXPECT_EQ(bench.messages.size(), 1u);
}

// Answers the About box once it is up: its title and texts, then OK.
struct AboutWatcher {
  void Arm() {
    // Tied to `context`, so that no check outlives the watcher when the box never came.
    QTimer::singleShot(50, &context, [this] { Check(); });
  }
  void Check() {
    auto* about = qobject_cast<CAboutDlg*>(QApplication::activeModalWidget());
    if (about == nullptr) {
      Arm();
      return;
    }
    title = about->windowTitle();
    version = about->findChild<QLabel*>("version")->text();
    QTest::mouseClick(about->findChild<QPushButton*>("ok"), Qt::LeftButton);
    ++shown;
  }
  QObject context;
  int shown = 0;
  QString title;
  QString version;
};

TEST(Window, AboutBoxFromF1AndTheContextMenuEntry) {
  Bench bench;
  bench.Open();
  const QList<QAction*> actions = bench.window->actions();
  ASSERT_EQ(actions.size(), 1);
  EXPECT_EQ(actions[0]->text(), QStringLiteral("Inf&o über Lumaflash..."));
  EXPECT_EQ(bench.window->contextMenuPolicy(), Qt::ActionsContextMenu);

  AboutWatcher watcher;
  watcher.Arm();
  QTest::keyClick(bench.window.get(), Qt::Key_F1);
  EXPECT_EQ(watcher.shown, 1);
  EXPECT_EQ(watcher.title, QStringLiteral("Info über Lumaflash"));
  EXPECT_EQ(watcher.version, "Lumaflash Version 1.3");

  watcher.Arm();
  bench.window->OnSysCommand(16);
  EXPECT_EQ(watcher.shown, 2);
  bench.window->OnSysCommand(32);  // not an About command: nothing opens
  EXPECT_EQ(watcher.shown, 2);
  EXPECT_TRUE(bench.window->isVisible());
}

// The real side of the file-dialog seam: where it opens, what it lists, what it returns.
TEST(Window, RealFileDialogOffersFirmwareFiles) {
  EnsureApplication();
  testing::TempDir dir;
  const std::string image = dir.Write("dimmer.bin", std::vector<uint8_t>{1}).string();
  struct Case {
    std::string initialName;
    bool accept;
    std::optional<std::string> result;
  };
  const Case cases[] = {
      {(dir.Path() / "*.bin").string(), true, std::nullopt},  // nothing picked: cannot accept
      {image, true, image},
      {image, false, std::nullopt},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.initialName);
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
    const auto chosen =
        DialogSeams::Real().chooseImage(nullptr, {c.initialName, "Firmware File (*.bin)", "bin"});
    EXPECT_EQ(chosen, c.result);
    EXPECT_EQ(directory, QString::fromStdString(dir.Path().string()));
    EXPECT_EQ(filters, QStringList{"Firmware File (*.bin)"});
  }
}

TEST(Window, LayoutKeepsItsProportionsAtAnyFontSize) {
  Bench bench;
  bench.Open();
  CLumaflashDlg& window = *bench.window;
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
