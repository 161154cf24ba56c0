#pragma once

#include <QDialog>
#include <filesystem>
#include <functional>
#include <string>
#include <vector>

#include "dialog_seams.h"
#include "feedback.h"
#include "gui_thread_feedback.h"
#include "session.h"
#include "settings/settings.h"
#include "update_command.h"

class QCheckBox;
class QKeyEvent;
class QLabel;
class QListWidget;
class QProgressBar;
class QPushButton;
class QTreeWidget;

namespace lumaflash::app {

// What the window is started with.
struct WindowSetup {
  std::vector<std::string> ports;   // only these are scanned; none: the system's ports
  std::filesystem::path directory;  // the current directory: Lumaflash.ini lives here
  std::function<settings::LocalDate()> today = settings::TodayLocal;
  DialogSeams seams = DialogSeams::Real();
};

// The main window: the interface list, Find, Firmware-Update, "Use last again", the status log
// and the progress bar. It owns the session, runs the first scan at set-up and may start an
// update by itself (the automatic repeat). Scans and updates run on a worker thread while the
// window keeps painting and takes no input; see busy_run.h.
class CLumaflashDlg : public QDialog {
  Q_OBJECT

 public:
  explicit CLumaflashDlg(WindowSetup setup, QWidget* parent = nullptr);
  ~CLumaflashDlg() override;

  // Shows the window, sets it up and returns when it has ended.
  int Run();
  // Shows the window and sets it up from its event loop; returns at once.
  void ShowAndSetUp();

  void OnInitDialog();
  void OnFirmwareUpdate();
  void OnTimer(int id);
  // Commands 16 to 31 show the About box (the Windows system-menu entry sends 16).
  void OnSysCommand(unsigned id);
  // The Find command.
  void ScanInterfaces();
  // Appends a status line, keeping the newest three; `alert` sounds the alert tone.
  void AddStatus(const QString& text, bool alert);
  // Esc and Enter are swallowed; Ctrl+D shows the scan log. True when the key was taken.
  bool PreTranslateMessage(const QKeyEvent& key);
  // true: the "Use last again" flag takes the box's tick; false: the box shows the flag.
  void UpdateData(bool saveAndValidate);
  void ShowAbout();

  const Session& WorkingState() const { return m_session; }
  bool IsSetUp() const { return m_setUp; }
  bool IsBusy() const { return m_busy; }
  bool AutoRepeatArmed() const { return m_autoRepeat.Armed(); }

  QTreeWidget* InterfaceList() const { return m_interfaceList; }
  QPushButton* FindButton() const { return m_find; }
  QPushButton* UpdateButton() const { return m_update; }
  QListWidget* StatusLog() const { return m_statusLog; }
  QProgressBar* Progress() const { return m_progress; }
  QCheckBox* UseLastBox() const { return m_useLast; }
  QLabel* WebAddress() const { return m_webAddress; }

 protected:
  bool eventFilter(QObject* watched, QEvent* event) override;
  void timerEvent(QTimerEvent* event) override;
  void changeEvent(QEvent* event) override;

 private:
  // The window's side of the feedback: runs on the GUI thread only.
  class WidgetFeedback : public Feedback {
   public:
    explicit WidgetFeedback(CLumaflashDlg& window) : m_window(window) {}
    void AddStatus(const std::string& text, bool alert) override;
    void SetProgressRange(uint32_t upper) override;
    void SetProgressStep(uint32_t step) override;
    void SetProgressPosition(uint32_t position) override;
    void StepProgress() override;
    void ShowWaitCursor() override;
    void ShowArrowCursor() override;
    void ShowInterfaces(const std::vector<InterfaceRow>& rows) override;
    void SetUseLastEnabled(bool enabled) override;
    void RefreshControls() override;

   private:
    CLumaflashDlg& m_window;
    int m_step = 1;
    bool m_waiting = false;
  };

  void CreateControls();
  void LayOut();
  void SetupInterfaceList();
  void RunCommand(const std::function<void()>& work);
  void UpdateInterface(int index);
  std::size_t SelectedCount() const;
  int FirstSelected() const;

  WindowSetup m_setup;
  WidgetFeedback m_widgetFeedback;
  GuiThreadFeedback m_feedback;
  Session m_session;
  AutoRepeat m_autoRepeat;
  int m_autoRepeatTimer = 0;
  bool m_setUp = false;
  bool m_busy = false;

  QTreeWidget* m_interfaceList;
  QPushButton* m_find;
  QPushButton* m_update;
  QListWidget* m_statusLog;
  QProgressBar* m_progress;
  QLabel* m_webAddress;
  QCheckBox* m_useLast;
};

}  // namespace lumaflash::app
