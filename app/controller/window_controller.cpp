#include "app/controller/window_controller.h"

#include <exception>
#include <stop_token>
#include <system_error>
#include <thread>
#include <utility>

#include "app/controller/face_queue.h"
#include "app/controller/update_plan.h"
#include "app/controller/window_feedback.h"
#include "core/records/recorder.h"
#include "core/session/find_interfaces.h"
#include "core/session/flash_interface.h"
#include "core/session/last_image.h"
#include "core/session/session.h"
#include "core/update/flash.h"

namespace lumaflash::app {

namespace {

// The Find command, with each port failure worth telling (session::FailuresToTell) reported with
// its reason, so that a mistyped or taken port does not just look like a missing device.
void ScanAndReport(session::Session& session) {
  for (const serial::PortFailure& failure : session::ScanInterfaces(session)) {
    session.feedback.AddStatus(serial::DescribePortFailure(failure), true);
  }
}

std::string WithNewlines(const std::string& text) {
  std::string out;
  for (char c : text) {
    if (c != '\r') {
      out += c;
    }
  }
  return out;
}

}  // namespace

// The window's commands and its worker. The session reports to the window's feedback, which
// draws on the face's thread; the scan and the update run on the worker, one at a time.
class WindowController::Impl {
 public:
  Impl(WindowView& view, WindowSetup setup)
      : m_view(view),
        m_setup(std::move(setup)),
        m_queue(view),
        m_feedback(view, m_queue),
        m_session(m_feedback) {
    m_session.namedPorts = m_setup.ports;
    m_session.usbFilter = m_setup.usbFilter;
    m_session.today = m_setup.today;
    m_session.stop = m_stop.get_token();
    m_session.recorder = m_setup.recorder.get();
  }

  ~Impl() {
    m_stop.request_stop();
    if (m_worker.joinable()) {
      m_worker.join();
    }
    if (m_busy) {
      m_view.EnableInput(true);
    }
    m_feedback.SetWaiting(false);
  }
  Impl(const Impl&) = delete;
  Impl& operator=(const Impl&) = delete;

  void SetUp() {
    if (m_setUp || m_busy) {
      return;
    }
    m_feedback.DrawEmpty();
    session::SetupSettings(m_session, m_setup.directory);
    m_session.currentImagePath.clear();
    Start([this] { ScanAndReport(m_session); },
          [this] {
            // A handed file starts nothing by itself: the operator confirms it first.
            m_autoRepeatArmed = m_setup.handedImage.empty() && session::IsAutoRepeatDue(m_session);
            if (m_autoRepeatArmed) {
              m_view.StartTimer(kAutoRepeatTimerId, kAutoRepeatDelay);
            }
            m_setUp = true;
          });
  }

  void OnFind() {
    if (!m_busy && !m_closed) {
      Start([this] { ScanAndReport(m_session); }, nullptr);
    }
  }

  void OnFirmwareUpdate() {
    if (m_busy || m_closed) {
      return;  // one scan or update at a time: they share the session
    }
    m_session.useLastAgain = m_feedback.UseLastTicked();
    const UpdatePlan plan = PlanUpdate(m_session, m_view.SelectedRows(), m_setup.handedImage);
    if (plan.path == UpdatePath::WrongSelection ||
        (plan.path == UpdatePath::AskForFile && !AskForFile(plan))) {
      return;
    }
    m_updating = true;
    Start([this, index = plan.index] { UpdateAndRescan(index); },
          [this] {
            if (m_updated) {
              m_closed = true;
              m_view.CloseWindow();  // as if cancelled; the program ends with the window
            }
          });
  }

  void OnUseLastToggled(bool ticked) { m_feedback.SetUseLastTicked(ticked); }

  void OnTimer(int id) {
    if (id != kAutoRepeatTimerId || !m_autoRepeatArmed) {
      return;
    }
    m_view.StopTimer(kAutoRepeatTimerId);  // it fires once
    if (m_busy) {
      m_timerPending = true;  // the repeat waits until the scan or update has ended
      return;
    }
    m_autoRepeatArmed = false;
    OnFirmwareUpdate();
  }

  bool OnKey(Key key, bool ctrl) {
    switch (key) {
      case Key::Escape:
      case Key::Enter:
        return true;
      case Key::D:
        if (!ctrl) {
          return false;
        }
        if (!m_busy) {
          m_view.ShowMessage(WithNewlines(m_session.scanLog));
        }
        return true;
      case Key::Other:
        break;
    }
    return false;
  }

  bool OnSysCommand(unsigned id) {
    if (id < kAboutCommand || id > kLastAboutCommand) {
      return false;
    }
    if (!m_busy) {
      m_view.ShowAbout();
    }
    return true;
  }

  void DeliverPosted() { m_queue.Deliver(); }

  void OnStopRequested() {
    if (m_stopRequested) {
      return;
    }
    m_stopRequested = true;
    m_stop.request_stop();
    m_autoRepeatArmed = false;
    m_timerPending = false;
    if (!m_busy) {
      CloseForStop();
    }  // otherwise Finish() closes the window once the worker has stopped
  }

  void StopAndWait() {
    OnStopRequested();
    if (m_worker.joinable()) {
      m_worker.join();
    }
    m_queue.Deliver();
  }

  int ExitStatus() const { return m_stopRequested ? kInterruptedExit : 0; }
  std::optional<update::FlashResult> LastAttempt() const { return m_lastAttempt; }
  bool IsSetUp() const { return m_setUp; }
  bool IsBusy() const { return m_busy; }
  bool IsUpdating() const { return m_updating; }
  bool AutoRepeatArmed() const { return m_autoRepeatArmed; }

 private:
  // The file dialog, on the face's thread; false when the operator cancelled it (or the program
  // was told to end while it was open).
  bool AskForFile(const UpdatePlan& plan) {
    m_setup.handedImage.clear();  // only the first dialog opens on it
    const std::optional<std::string> chosen = m_view.ChooseFile(RequestFor(plan.initialName));
    if (!chosen || m_closed) {
      return false;
    }
    m_feedback.SetWaiting(true);
    m_session.currentImagePath = *chosen;
    session::WriteLastOpen(m_session, plan.deviceId, *chosen);
    return true;
  }

  // On the worker: the recorded attempt, then the rescan. Every update attempt the window
  // starts ends here, whatever its result.
  void UpdateAndRescan(int index) {
    const update::FlashOutcome outcome = session::FlashInterface(m_session, index);
    m_lastAttempt = update::ResultOf(outcome);
    m_updated = outcome.has_value();
    // Read before the rescan, whose own reads clear it.
    const std::string unsaved = m_session.lastSettingsProblem;
    if (!m_stop.stop_requested()) {
      ScanAndReport(m_session);  // a stopping program does not probe the ports again
    }
    if (m_updated && !unsaved.empty()) {
      // The update counts, but the window stays open so that the operator reads why the
      // settings were not kept (the rescan has pushed the first report out).
      m_updated = false;
      m_feedback.AddStatus(unsaved, true);
    }
  }

  // Runs `work` on the worker thread; the window takes no input meanwhile. `then` runs on the
  // face's thread once all the work's feedback is shown.
  void Start(std::function<void()> work, std::function<void()> then) {
    m_busy = true;
    m_then = std::move(then);
    m_view.EnableInput(false);
    auto run = [this, work = std::move(work)] {
      try {
        work();
      } catch (const std::exception& error) {
        m_feedback.AddStatus(std::string("Internal error: ") + error.what(), true);
      } catch (...) {
        m_feedback.AddStatus("Internal error.", true);
      }
      m_queue.Post([this] { Finish(); });
    };
    try {
      m_worker = std::jthread(run);
    } catch (const std::system_error&) {
      // No thread to be had (a process or container limit): the work runs here instead, and
      // the window does not paint until it has ended.
      run();
    }
  }

  void CloseForStop() {
    if (!m_closed) {
      m_closed = true;
      m_view.CloseWindow();
    }
  }

  void Finish() {
    if (m_worker.joinable()) {
      m_worker.join();  // already joined when StopAndWait() waited for it
    }
    m_busy = false;
    m_updating = false;
    m_feedback.SetWaiting(false);  // whatever path the work took, the arrow comes back
    m_view.EnableInput(true);
    if (std::function<void()> then = std::exchange(m_then, nullptr)) {
      then();
    }
    if (m_stopRequested) {
      CloseForStop();
      return;
    }
    if (m_timerPending && !m_busy) {
      m_timerPending = false;
      m_autoRepeatArmed = false;
      OnFirmwareUpdate();
    }
  }

  WindowView& m_view;
  WindowSetup m_setup;
  FaceQueue m_queue;
  WindowFeedback m_feedback;
  session::Session m_session;
  // Requested once the program is told to end, or the window goes: an update stops between two
  // blocks, and stays stopped.
  std::stop_source m_stop;

  std::jthread m_worker;
  std::function<void()> m_then;
  bool m_busy = false;
  bool m_updated = false;  // written by the worker, read after it has been joined
  bool m_updating = false;
  bool m_stopRequested = false;
  std::optional<update::FlashResult> m_lastAttempt;  // written by the worker, read after join

  bool m_setUp = false;
  bool m_closed = false;
  bool m_autoRepeatArmed = false;
  bool m_timerPending = false;
};

WindowController::WindowController(WindowView& view, WindowSetup setup)
    : m_impl(std::make_unique<Impl>(view, std::move(setup))) {}

WindowController::~WindowController() = default;

void WindowController::SetUp() {
  m_impl->SetUp();
}
void WindowController::OnFind() {
  m_impl->OnFind();
}
void WindowController::OnFirmwareUpdate() {
  m_impl->OnFirmwareUpdate();
}
void WindowController::OnUseLastToggled(bool ticked) {
  m_impl->OnUseLastToggled(ticked);
}
void WindowController::OnTimer(int id) {
  m_impl->OnTimer(id);
}
bool WindowController::OnKey(Key key, bool ctrl) {
  return m_impl->OnKey(key, ctrl);
}
bool WindowController::OnSysCommand(unsigned id) {
  return m_impl->OnSysCommand(id);
}
void WindowController::DeliverPosted() {
  m_impl->DeliverPosted();
}
void WindowController::OnStopRequested() {
  m_impl->OnStopRequested();
}
void WindowController::StopAndWait() {
  m_impl->StopAndWait();
}
int WindowController::ExitStatus() const {
  return m_impl->ExitStatus();
}
std::optional<update::FlashResult> WindowController::LastAttempt() const {
  return m_impl->LastAttempt();
}
bool WindowController::IsUpdating() const {
  return m_impl->IsUpdating();
}
bool WindowController::IsSetUp() const {
  return m_impl->IsSetUp();
}
bool WindowController::IsBusy() const {
  return m_impl->IsBusy();
}
bool WindowController::AutoRepeatArmed() const {
  return m_impl->AutoRepeatArmed();
}

}  // namespace lumaflash::app
