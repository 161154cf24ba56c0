#include "app/qt/qt_window.h"

#include <QApplication>
#include <QCheckBox>
#include <QEvent>
#include <QHeaderView>
#include <QKeyEvent>
#include <QLabel>
#include <QListWidget>
#include <QMetaObject>
#include <QProgressBar>
#include <QPushButton>
#include <QTimer>
#include <QTimerEvent>
#include <QTreeWidget>
#include <algorithm>
#include <limits>

#include "app/qt/about_box.h"
#include "app/qt/about_entry.h"
#include "app/qt/app_icon.h"
#include "app/qt/dialog_layout.h"

namespace lumaflash::app {

namespace {

// Positions in dialog units: x, y, width, height.
constexpr UnitRect kClient{0, 0, 304, 158};
constexpr UnitRect kInterfaceList{7, 7, 290, 58};
constexpr UnitRect kFind{7, 72, 50, 14};
constexpr UnitRect kUpdate{201, 72, 96, 14};
constexpr UnitRect kStatusLog{7, 104, 290, 32};
constexpr UnitRect kProgress{157, 142, 140, 9};
constexpr UnitRect kWebAddress{99, 75, 69, 8};
constexpr UnitRect kUseLast{202, 90, 84, 10};

// Drops the operator's input for every widget while installed on the application.
class InputBlocker : public QObject {
 public:
  bool eventFilter(QObject* watched, QEvent* event) override {
    return IsInput(event->type()) || QObject::eventFilter(watched, event);
  }

 private:
  static bool IsInput(QEvent::Type type) {
    switch (type) {
      case QEvent::KeyPress:
      case QEvent::KeyRelease:
      case QEvent::ShortcutOverride:
      case QEvent::Shortcut:
      case QEvent::MouseButtonPress:
      case QEvent::MouseButtonRelease:
      case QEvent::MouseButtonDblClick:
      case QEvent::Wheel:
      case QEvent::TouchBegin:
      case QEvent::TouchUpdate:
      case QEvent::TouchEnd:
      case QEvent::ContextMenu:
      case QEvent::Close:
        return true;
      default:
        return false;
    }
  }
};

Key KeyOf(int qtKey) {
  switch (qtKey) {
    case Qt::Key_Escape:
      return Key::Escape;
    case Qt::Key_Return:
    case Qt::Key_Enter:
      return Key::Enter;
    case Qt::Key_D:
      return Key::D;
    default:
      return Key::Other;
  }
}

}  // namespace

QtWindow::QtWindow(WindowSetup setup, DialogSeams seams, QWidget* parent)
    : QDialog(parent), m_seams(std::move(seams)) {
  setWindowTitle(QStringLiteral("Lumaflash - V1.3"));
  CreateControls();
  LayOut();
  m_controller = std::make_unique<WindowController>(*this, std::move(setup));
  QCoreApplication::instance()->installEventFilter(this);
}

QtWindow::~QtWindow() {
  // Waits for its worker, which may still post to this face, and gives back input and cursor.
  m_controller.reset();
  QCoreApplication::instance()->removeEventFilter(this);
}

void QtWindow::CreateControls() {
  m_interfaceList = new QTreeWidget(this);
  m_find = new QPushButton(QStringLiteral("Find"), this);
  m_update = new QPushButton(QStringLiteral("Firmware-Update"), this);
  m_statusLog = new QListWidget(this);
  m_progress = new QProgressBar(this);
  m_webAddress = new QLabel(QStringLiteral("lumaflash.example"), this);
  m_useLast = new QCheckBox(QStringLiteral("Use last again"), this);

  m_interfaceList->setRootIsDecorated(false);
  m_interfaceList->setSelectionMode(QAbstractItemView::SingleSelection);
  m_interfaceList->setSelectionBehavior(QAbstractItemView::SelectRows);
  m_interfaceList->setEditTriggers(QAbstractItemView::NoEditTriggers);
  m_interfaceList->setUniformRowHeights(true);
  m_interfaceList->setColumnCount(static_cast<int>(kListColumns.size()));
  QStringList headings;
  for (const ListColumn& column : kListColumns) {
    headings << QString::fromLatin1(column.heading);
  }
  m_interfaceList->setHeaderLabels(headings);
  m_interfaceList->header()->setStretchLastSection(false);
  m_interfaceList->header()->setDefaultAlignment(Qt::AlignLeft | Qt::AlignVCenter);
  for (int i = 0; i < static_cast<int>(kListColumns.size()); ++i) {
    m_interfaceList->setColumnWidth(i, kListColumns[static_cast<std::size_t>(i)].width);
  }
  // The selection stays as visible when the list loses the focus.
  QPalette palette = m_interfaceList->palette();
  palette.setColor(QPalette::Inactive, QPalette::Highlight,
                   palette.color(QPalette::Active, QPalette::Highlight));
  palette.setColor(QPalette::Inactive, QPalette::HighlightedText,
                   palette.color(QPalette::Active, QPalette::HighlightedText));
  m_interfaceList->setPalette(palette);

  // Enter never presses a button: no button is a default one.
  m_find->setAutoDefault(false);
  m_update->setAutoDefault(false);
  m_progress->setTextVisible(false);
  m_progress->setRange(0, 1);
  m_progress->setValue(0);
  m_useLast->setChecked(false);

  connect(m_find, &QPushButton::clicked, this, [this] { m_controller->OnFind(); });
  connect(m_update, &QPushButton::clicked, this, [this] { m_controller->OnFirmwareUpdate(); });
  // clicked, not toggled: only the operator's clicks, never the controller's own drawing.
  connect(m_useLast, &QCheckBox::clicked, this,
          [this](bool ticked) { m_controller->OnUseLastToggled(ticked); });
}

void QtWindow::LayOut() {
  const DialogUnitScale scale = ScaleFor(font());
  SetFixedClientSize(*this, scale, kClient);
  Place(*m_interfaceList, scale, kInterfaceList);
  Place(*m_find, scale, kFind);
  Place(*m_update, scale, kUpdate);
  Place(*m_statusLog, scale, kStatusLog);
  Place(*m_progress, scale, kProgress);
  Place(*m_webAddress, scale, kWebAddress);
  Place(*m_useLast, scale, kUseLast);
}

void QtWindow::changeEvent(QEvent* event) {
  QDialog::changeEvent(event);
  if (event->type() == QEvent::FontChange) {
    LayOut();
  }
}

int QtWindow::Run() {
  QTimer::singleShot(0, this, &QtWindow::OnInitDialog);
  return exec();
}

void QtWindow::ShowAndSetUp() {
  QTimer::singleShot(0, this, &QtWindow::OnInitDialog);
  show();
}

void QtWindow::OnInitDialog() {
  InstallAboutEntry(*this, [this] { m_controller->OnSysCommand(kAboutCommand); });
  setWindowIcon(AppIcon());
  m_controller->SetUp();
}

bool QtWindow::eventFilter(QObject* watched, QEvent* event) {
  if (event->type() == QEvent::KeyPress && watched->isWidgetType() &&
      static_cast<QWidget*>(watched)->window() == this) {
    const auto& key = static_cast<const QKeyEvent&>(*event);
    return m_controller->OnKey(KeyOf(key.key()), key.modifiers().testFlag(Qt::ControlModifier));
  }
  return QDialog::eventFilter(watched, event);
}

void QtWindow::timerEvent(QTimerEvent* event) {
  const auto timer = std::find_if(m_timers.begin(), m_timers.end(), [&](const auto& entry) {
    return entry.second == event->timerId();
  });
  if (timer == m_timers.end()) {
    QDialog::timerEvent(event);
    return;
  }
  const int id = timer->first;  // the controller may stop the timer, and so erase the entry
  m_controller->OnTimer(id);
}

// The view: what the controller says to draw and do.

void QtWindow::ShowRows(const std::vector<ListRow>& rows, int selected) {
  m_interfaceList->clear();
  for (const ListRow& row : rows) {
    auto* item = new QTreeWidgetItem(  // owned by the list
        m_interfaceList, {QString::fromStdString(row.device), QString::fromStdString(row.version),
                          QString::fromStdString(row.serial)});
    for (int column = 0; column < item->columnCount(); ++column) {
      item->setToolTip(column, QString::fromStdString(row.tooltip));
    }
  }
  if (QTreeWidgetItem* chosen = m_interfaceList->topLevelItem(selected)) {
    m_interfaceList->setCurrentItem(chosen);
    chosen->setSelected(true);
  }
}

std::vector<int> QtWindow::SelectedRows() const {
  std::vector<int> rows;
  for (const QModelIndex& row : m_interfaceList->selectionModel()->selectedRows()) {
    rows.push_back(row.row());
  }
  std::sort(rows.begin(), rows.end());
  return rows;
}

void QtWindow::ShowStatus(const std::vector<std::string>& lines) {
  m_statusLog->clear();
  for (const std::string& line : lines) {
    m_statusLog->addItem(QString::fromStdString(line));
  }
  m_statusLog->scrollToBottom();
}

void QtWindow::SoundAlert() {
  m_seams.beep();
}

void QtWindow::ShowProgress(uint32_t upper, uint32_t position) {
  // A QProgressBar counts in int: a 32-bit range above its largest is halved, which fits.
  const int shift = upper > static_cast<uint32_t>(std::numeric_limits<int>::max()) ? 1 : 0;
  m_progress->setRange(0, static_cast<int>(upper >> shift));
  m_progress->setValue(static_cast<int>(position >> shift));
}

void QtWindow::ShowWaitCursor(bool waiting) {
  if (waiting && !m_waiting) {
    QApplication::setOverrideCursor(Qt::WaitCursor);
  } else if (!waiting && m_waiting) {
    QApplication::restoreOverrideCursor();
  }
  m_waiting = waiting;
}

void QtWindow::ShowUseLast(bool enabled, bool ticked) {
  m_useLast->setEnabled(enabled);
  m_useLast->setChecked(ticked);
}

void QtWindow::EnableInput(bool enabled) {
  if (!enabled && !m_inputBlocker) {
    m_inputBlocker = std::make_unique<InputBlocker>();
    QCoreApplication::instance()->installEventFilter(m_inputBlocker.get());
  } else if (enabled && m_inputBlocker) {
    QCoreApplication::instance()->removeEventFilter(m_inputBlocker.get());
    m_inputBlocker.reset();
  }
}

void QtWindow::StartTimer(int id, std::chrono::milliseconds interval) {
  StopTimer(id);
  m_timers[id] = startTimer(interval);
}

void QtWindow::StopTimer(int id) {
  if (const auto found = m_timers.find(id); found != m_timers.end()) {
    killTimer(found->second);
    m_timers.erase(found);
  }
}

void QtWindow::CloseWindow() {
  // A dialog still open over the window (the About box, the scan log, the file dialog) would
  // hold the end until someone closed it; a stop asked for by a signal must not wait for that.
  for (QWidget* widget : QApplication::topLevelWidgets()) {
    auto* dialog = qobject_cast<QDialog*>(widget);
    if (dialog != nullptr && dialog != this && dialog->isVisible()) {
      dialog->reject();
    }
  }
  reject();  // the window ends as if cancelled, and the program with it
}

void QtWindow::ShowMessage(const std::string& text) {
  m_seams.showMessage(this, QString::fromStdString(text));
}

void QtWindow::ShowAbout() {
  AboutBox about(this);
  about.exec();
}

std::optional<std::string> QtWindow::ChooseFile(const FileRequest& request) {
  return m_seams.chooseImage(this, request);
}

void QtWindow::PostToFace() {
  QMetaObject::invokeMethod(
      this, [this] { m_controller->DeliverPosted(); }, Qt::QueuedConnection);
}

}  // namespace lumaflash::app
