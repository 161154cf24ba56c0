#pragma once

#include <QDialog>
#include <map>
#include <memory>

#include "app/controller/window_controller.h"
#include "app/controller/window_view.h"
#include "app/qt/dialog_seams.h"

class QCheckBox;
class QLabel;
class QListWidget;
class QObject;
class QProgressBar;
class QPushButton;
class QTreeWidget;

namespace lumaflash::app {

// The main window's Qt face: the interface list, Find, Firmware-Update, "Use last again", the
// status log and the progress bar. It draws what its controller says and forwards what the
// operator does; the controller (window_controller.h) decides everything else.
class QtWindow : public QDialog, public WindowView {
  Q_OBJECT

 public:
  explicit QtWindow(WindowSetup setup, DialogSeams seams = DialogSeams::Real(),
                    QWidget* parent = nullptr);
  ~QtWindow() override;
  QtWindow(const QtWindow&) = delete;
  QtWindow& operator=(const QtWindow&) = delete;

  // Shows the window, sets it up and returns when it has ended.
  int Run();
  // Shows the window and sets it up from its event loop; returns at once.
  void ShowAndSetUp();

  WindowController& Controller() { return *m_controller; }

  QTreeWidget* InterfaceList() const { return m_interfaceList; }
  QPushButton* FindButton() const { return m_find; }
  QPushButton* UpdateButton() const { return m_update; }
  QListWidget* StatusLog() const { return m_statusLog; }
  QProgressBar* Progress() const { return m_progress; }
  QCheckBox* UseLastBox() const { return m_useLast; }

  // WindowView
  void ShowRows(const std::vector<ListRow>& rows, int selected) override;
  std::vector<int> SelectedRows() const override;
  void ShowStatus(const std::vector<std::string>& lines) override;
  void SoundAlert() override;
  void ShowProgress(uint32_t upper, uint32_t position) override;
  void ShowWaitCursor(bool waiting) override;
  void ShowUseLast(bool enabled, bool ticked) override;
  void EnableInput(bool enabled) override;
  void StartTimer(int id, std::chrono::milliseconds interval) override;
  void StopTimer(int id) override;
  void CloseWindow() override;
  void ShowMessage(const std::string& text) override;
  void ShowAbout() override;
  std::optional<std::string> ChooseFile(const FileRequest& request) override;
  void PostToFace() override;

 protected:
  bool eventFilter(QObject* watched, QEvent* event) override;
  void timerEvent(QTimerEvent* event) override;
  void changeEvent(QEvent* event) override;

 private:
  void CreateControls();
  void LayOut();
  void OnInitDialog();

  DialogSeams m_seams;
  bool m_waiting = false;
  std::unique_ptr<QObject> m_inputBlocker;  // installed while input is held back
  std::map<int, int> m_timers;              // the controller's timer id -> Qt's

  QTreeWidget* m_interfaceList;
  QPushButton* m_find;
  QPushButton* m_update;
  QListWidget* m_statusLog;
  QProgressBar* m_progress;
  QLabel* m_webAddress;
  QCheckBox* m_useLast;

  // Last, so that it is made when the widgets exist.
  std::unique_ptr<WindowController> m_controller;
};

}  // namespace lumaflash::app
