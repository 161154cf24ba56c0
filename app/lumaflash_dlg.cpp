#include "lumaflash_dlg.h"

#include <QApplication>
#include <QCheckBox>
#include <QEvent>
#include <QHeaderView>
#include <QKeyEvent>
#include <QLabel>
#include <QListWidget>
#include <QProgressBar>
#include <QPushButton>
#include <QTimer>
#include <QTimerEvent>
#include <QTreeWidget>
#include <algorithm>
#include <array>
#include <limits>
#include <memory>

#include "about_dlg.h"
#include "about_entry.h"
#include "app_icon.h"
#include "busy_run.h"
#include "dialog_layout.h"
#include "settings/last_image.h"

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

struct Column {
  const char* heading;
  int width;  // pixels
};
constexpr std::array<Column, 3> kColumns{{{"Device", 200}, {"Version", 50}, {"Serial", 180}}};

constexpr int kMaxStatusLines = 3;
constexpr unsigned kFirstAboutCommand = 16;
constexpr unsigned kLastAboutCommand = 31;

int ToProgressValue(uint32_t value) {
  return static_cast<int>(std::min<uint32_t>(value, std::numeric_limits<int>::max()));
}

}  // namespace

CLumaflashDlg::CLumaflashDlg(WindowSetup setup, QWidget* parent)
    : QDialog(parent),
      m_setup(std::move(setup)),
      m_widgetFeedback(*this),
      m_feedback(*this, m_widgetFeedback),
      m_session(m_feedback) {
  m_session.namedPorts = m_setup.ports;
  m_session.today = m_setup.today;
  setWindowTitle(QStringLiteral("Lumaflash - V1.3"));
  CreateControls();
  LayOut();
  QCoreApplication::instance()->installEventFilter(this);
}

CLumaflashDlg::~CLumaflashDlg() {
  QCoreApplication::instance()->removeEventFilter(this);
  m_widgetFeedback.ShowArrowCursor();
}

void CLumaflashDlg::CreateControls() {
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
  m_progress->setValue(0);
  m_useLast->setChecked(false);

  connect(m_find, &QPushButton::clicked, this, &CLumaflashDlg::ScanInterfaces);
  connect(m_update, &QPushButton::clicked, this, &CLumaflashDlg::OnFirmwareUpdate);
}

void CLumaflashDlg::LayOut() {
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

void CLumaflashDlg::changeEvent(QEvent* event) {
  QDialog::changeEvent(event);
  if (event->type() == QEvent::FontChange) {
    LayOut();
  }
}

int CLumaflashDlg::Run() {
  QTimer::singleShot(0, this, &CLumaflashDlg::OnInitDialog);
  return exec();
}

void CLumaflashDlg::ShowAndSetUp() {
  QTimer::singleShot(0, this, &CLumaflashDlg::OnInitDialog);
  show();
}

void CLumaflashDlg::OnInitDialog() {
  if (m_setUp) {
    return;
  }
  InstallAboutEntry(*this, [this] { ShowAbout(); });
  setWindowIcon(AppIcon());
  settings::SetupSettings(m_session, m_setup.directory);
  m_session.currentImagePath.clear();
  SetupInterfaceList();
  ScanInterfaces();
  m_autoRepeat.Arm(settings::IsAutoRepeatDue(m_session));
  if (m_autoRepeat.Armed()) {
    m_autoRepeatTimer = startTimer(kAutoRepeatDelay);
  }
  m_setUp = true;
}

void CLumaflashDlg::SetupInterfaceList() {
  m_interfaceList->setColumnCount(static_cast<int>(kColumns.size()));
  QStringList headings;
  for (const Column& column : kColumns) {
    headings << QString::fromLatin1(column.heading);
  }
  m_interfaceList->setHeaderLabels(headings);
  m_interfaceList->header()->setStretchLastSection(false);
  m_interfaceList->header()->setDefaultAlignment(Qt::AlignLeft | Qt::AlignVCenter);
  for (int i = 0; i < static_cast<int>(kColumns.size()); ++i) {
    m_interfaceList->setColumnWidth(i, kColumns[static_cast<std::size_t>(i)].width);
  }
}

void CLumaflashDlg::ScanInterfaces() {
  RunCommand([this] { ScanAndReport(m_session); });
}

void CLumaflashDlg::RunCommand(const std::function<void()>& work) {
  if (m_busy) {
    return;  // one scan or update at a time: they share the session
  }
  m_busy = true;
  RunBusy(work);
  m_busy = false;
  // Whatever path the work took, the arrow comes back when it is over.
  m_widgetFeedback.ShowArrowCursor();
}

void CLumaflashDlg::OnTimer(int id) {
  UpdateData(true);
  if (m_autoRepeat.Fire(id)) {
    killTimer(m_autoRepeatTimer);
    m_autoRepeatTimer = 0;
    OnFirmwareUpdate();
  }
}

void CLumaflashDlg::timerEvent(QTimerEvent* event) {
  if (m_autoRepeatTimer != 0 && event->timerId() == m_autoRepeatTimer) {
    // Timers still tick while a scan runs (only input is held back); the repeat waits for the
    // next tick rather than start an update beside it.
    if (!m_busy) {
      OnTimer(kAutoRepeatTimerId);
    }
    return;
  }
  QDialog::timerEvent(event);
}

void CLumaflashDlg::OnFirmwareUpdate() {
  UpdateData(true);
  const UpdatePlan plan = PlanUpdate(m_session, SelectedCount(), FirstSelected());
  switch (plan.path) {
    case UpdatePath::WrongSelection:
      return;
    case UpdatePath::UseLast:
      UpdateInterface(plan.index);
      return;
    case UpdatePath::AskForFile:
      break;
  }
  const FileDialogRequest request{plan.initialName, QString::fromLatin1(kFirmwareFilter),
                                  QString::fromLatin1(kFirmwareSuffix)};
  const std::optional<std::string> chosen = m_setup.seams.chooseImage(this, request);
  if (!chosen) {
    return;
  }
  m_widgetFeedback.ShowWaitCursor();
  AcceptChosenImage(m_session, plan, *chosen);
  UpdateInterface(plan.index);
}

void CLumaflashDlg::UpdateInterface(int index) {
  bool succeeded = false;
  RunCommand([&] { succeeded = UpdateAndRescan(m_session, index); });
  if (succeeded) {
    reject();  // the window ends as if cancelled, and the program with it
  }
}

std::size_t CLumaflashDlg::SelectedCount() const {
  return static_cast<std::size_t>(m_interfaceList->selectionModel()->selectedRows().size());
}

int CLumaflashDlg::FirstSelected() const {
  int first = -1;
  for (const QModelIndex& row : m_interfaceList->selectionModel()->selectedRows()) {
    first = first < 0 ? row.row() : std::min(first, row.row());
  }
  return first;
}

void CLumaflashDlg::UpdateData(bool saveAndValidate) {
  if (saveAndValidate) {
    m_session.useLastAgain = m_useLast->isChecked();
  } else {
    m_useLast->setChecked(m_session.useLastAgain);
  }
}

void CLumaflashDlg::AddStatus(const QString& text, bool alert) {
  m_statusLog->addItem(text);
  while (m_statusLog->count() > kMaxStatusLines) {
    std::unique_ptr<QListWidgetItem> oldest(m_statusLog->takeItem(0));
  }
  m_statusLog->scrollToBottom();
  if (alert) {
    m_setup.seams.beep();
  }
}

bool CLumaflashDlg::eventFilter(QObject* watched, QEvent* event) {
  if (event->type() == QEvent::KeyPress && watched->isWidgetType() &&
      static_cast<QWidget*>(watched)->window() == this) {
    return PreTranslateMessage(static_cast<const QKeyEvent&>(*event));
  }
  return QDialog::eventFilter(watched, event);
}

bool CLumaflashDlg::PreTranslateMessage(const QKeyEvent& key) {
  switch (key.key()) {
    case Qt::Key_Escape:
    case Qt::Key_Return:
    case Qt::Key_Enter:
      return true;
    case Qt::Key_D:
      if (key.modifiers().testFlag(Qt::ControlModifier)) {
        m_setup.seams.showMessage(this, QString::fromStdString(m_session.scanLog)
                                            .replace(QStringLiteral("\r\n"), QStringLiteral("\n")));
        return true;
      }
      return false;
    default:
      return false;
  }
}

void CLumaflashDlg::OnSysCommand(unsigned id) {
  if (id >= kFirstAboutCommand && id <= kLastAboutCommand) {
    ShowAbout();
  }
}

void CLumaflashDlg::ShowAbout() {
  CAboutDlg about(this);
  about.exec();
}

// The widget side of the feedback.

void CLumaflashDlg::WidgetFeedback::AddStatus(const std::string& text, bool alert) {
  m_window.AddStatus(QString::fromStdString(text), alert);
}

void CLumaflashDlg::WidgetFeedback::SetProgressRange(uint32_t upper) {
  m_window.m_progress->setRange(0, ToProgressValue(upper));
}

void CLumaflashDlg::WidgetFeedback::SetProgressStep(uint32_t step) {
  m_step = ToProgressValue(step);
}

void CLumaflashDlg::WidgetFeedback::SetProgressPosition(uint32_t position) {
  m_window.m_progress->setValue(ToProgressValue(position));
}

void CLumaflashDlg::WidgetFeedback::StepProgress() {
  QProgressBar& bar = *m_window.m_progress;
  bar.setValue(std::min(bar.maximum(), std::max(bar.value(), 0) + m_step));
}

void CLumaflashDlg::WidgetFeedback::ShowWaitCursor() {
  if (!m_waiting) {
    QApplication::setOverrideCursor(Qt::WaitCursor);
    m_waiting = true;
  }
}

void CLumaflashDlg::WidgetFeedback::ShowArrowCursor() {
  if (m_waiting) {
    QApplication::restoreOverrideCursor();
    m_waiting = false;
  }
}

void CLumaflashDlg::WidgetFeedback::ShowInterfaces(const std::vector<InterfaceRow>& rows) {
  QTreeWidget& list = *m_window.m_interfaceList;
  list.clear();
  for (const InterfaceRow& row : rows) {
    new QTreeWidgetItem(&list,  // owned by the list
                        {QString::fromStdString(row.device), QString::fromStdString(row.version),
                         QString::fromStdString(row.serial)});
  }
  if (QTreeWidgetItem* first = list.topLevelItem(0)) {
    list.setCurrentItem(first);
    first->setSelected(true);
  }
}

void CLumaflashDlg::WidgetFeedback::SetUseLastEnabled(bool enabled) {
  m_window.m_useLast->setEnabled(enabled);
}

void CLumaflashDlg::WidgetFeedback::RefreshControls() {
  m_window.UpdateData(false);
}

}  // namespace lumaflash::app
