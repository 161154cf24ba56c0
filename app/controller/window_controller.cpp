#include "app/controller/window_controller.h"

#include <algorithm>
#include <atomic>
#include <deque>
#include <exception>
#include <mutex>
#include <system_error>
#include <thread>
#include <utility>

#include "core/platform/sha256.h"
#include "core/platform/text_path.h"
#include "core/records/recorder.h"
#include "core/session/find_interfaces.h"
#include "core/session/flash_interface.h"
#include "core/session/last_image.h"
#include "core/session/session.h"
#include "core/update/flash.h"

namespace lumaflash::app {

namespace {

constexpr std::size_t kStatusLines = 3;
constexpr const char* kWrongSelection = "Wrong interface selection !";

enum class UpdatePath {
  WrongSelection,  // not exactly one row selected: reported, nothing else happens
  UseLast,         // "Use last again" is on and there is a current image: update from it
  AskForFile,      // the operator picks the image in the file dialog first
};

struct UpdatePlan {
  UpdatePath path = UpdatePath::WrongSelection;
  int index = -1;           // the interface to update: the first selected row
  uint16_t deviceId = 0;    // its type, which names the settings section
  std::string initialName;  // the file dialog's initial name: the type's last image or "DIR/*.bin"
};

// The first half of the Firmware-Update command: checks the selection and writes
// USE_LAST_AGAIN for the chosen path ("1" to use the last image, "0" when the file dialog is
// to be shown).
UpdatePlan PlanUpdate(Session& session, const std::vector<int>& selected,
                      const std::string& handedImage) {
  UpdatePlan plan;
  const int first = selected.empty() ? -1 : selected.front();
  if (selected.size() != 1 || first < 0 ||
      static_cast<std::size_t>(first) >= session.interfaces.Count()) {
    session.feedback.AddStatus(kWrongSelection, true);
    return plan;
  }
  plan.index = first;
  plan.deviceId = session.interfaces[static_cast<std::size_t>(first)].deviceId;
  plan.initialName = session::ReadLastOpen(
      session, plan.deviceId, platform::Utf8FromPath(session.currentDirectory / "*.bin"));
  // A handed image is the operator's choice for now, so it is confirmed in the file dialog
  // instead of the last image being used.
  const bool useLast =
      handedImage.empty() && session.useLastAgain && !session.currentImagePath.empty();
  if (!handedImage.empty()) {
    plan.initialName = handedImage;
  }
  session::WriteUseLastAgain(session, plan.deviceId, useLast);
  plan.path = useLast ? UpdatePath::UseLast : UpdatePath::AskForFile;
  return plan;
}

// A pattern such as "DIR/*.bin" names only the directory; a file name is offered as it is.
FileRequest RequestFor(const std::string& initialName) {
  const std::filesystem::path path = platform::PathFromUtf8(initialName);
  FileRequest request;
  request.initialName = initialName;
  request.directory = platform::Utf8FromPath(path.parent_path());
  const std::string name = platform::Utf8FromPath(path.filename());
  request.fileName = name.find_first_of("*?") == std::string::npos ? name : "";
  return request;
}

// The Find command. Ports the operator named and that could not be opened are each reported
// with the reason (busy, permission denied, no such port), so that a mistyped or taken port
// does not just look like a missing device. The system's ports are walked silently.
void ScanAndReport(Session& session) {
  const std::vector<serial::PortFailure> failures = session::ScanInterfaces(session);
  if (session.namedPorts.empty()) {
    return;
  }
  for (const serial::PortFailure& failure : failures) {
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

// The controller is the session's listener: the scan and the update report to it from the
// worker thread (or the face's), and every report is turned into drawing on the face's thread.
class WindowController::Impl final : public Feedback {
 public:
  Impl(WindowView& view, WindowSetup setup)
      : m_view(view),
        m_setup(std::move(setup)),
        m_faceThread(std::this_thread::get_id()),
        m_session(*this) {
    m_session.namedPorts = m_setup.ports;
    m_session.usbFilter = m_setup.usbFilter;
    m_session.today = m_setup.today;
    m_session.cancel = &m_cancel;
  }

  ~Impl() override {
    m_cancel = true;
    if (m_worker.joinable()) {
      m_worker.join();
    }
    if (m_busy) {
      m_view.EnableInput(true);
    }
    if (m_waiting) {
      m_view.ShowWaitCursor(false);
    }
  }
  Impl(const Impl&) = delete;
  Impl& operator=(const Impl&) = delete;

  void SetUp() {
    if (m_setUp || m_busy) {
      return;
    }
    m_view.ShowRows({}, -1);
    m_view.ShowStatus({});
    DrawProgress();
    DrawUseLast();
    session::SetupSettings(m_session, m_setup.directory);
    m_session.currentImagePath.clear();
    Start([this] { ScanAndReport(m_session); },
          [this] {
            m_autoRepeatArmed = session::IsAutoRepeatDue(m_session);
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
    m_session.useLastAgain = m_useLastTicked;
    const UpdatePlan plan = PlanUpdate(m_session, m_view.SelectedRows(), m_setup.handedImage);
    switch (plan.path) {
      case UpdatePath::WrongSelection:
        return;
      case UpdatePath::UseLast:
        break;
      case UpdatePath::AskForFile: {
        m_setup.handedImage.clear();  // only the first dialog opens on it
        const std::optional<std::string> chosen = m_view.ChooseFile(RequestFor(plan.initialName));
        if (!chosen || m_closed) {
          return;  // cancelled, or the program was told to end while the dialog was open
        }
        SetWaiting(true);
        m_session.currentImagePath = *chosen;
        session::WriteLastOpen(m_session, plan.deviceId, *chosen);
        break;
      }
    }
    m_updating = true;
    Start(
        [this, index = plan.index] {
          const update::FlashOutcome outcome = FlashAndRecord(index);
          RecordAttempt(outcome);
          m_updated = outcome.has_value();
          // Read before the rescan, whose own reads clear it.
          const std::string unsaved = m_session.lastSettingsProblem;
          if (!m_cancel.load()) {
            ScanAndReport(m_session);  // a stopping program does not probe the ports again
          }
          if (m_updated && !unsaved.empty()) {
            // The update counts, but the window stays open so that the operator reads why
            // the settings were not kept (the rescan has pushed the first report out).
            m_updated = false;
            AddStatus(unsaved, true);
          }
        },
        [this] {
          if (m_updated) {
            m_closed = true;
            m_view.CloseWindow();  // as if cancelled; the program ends with the window
          }
        });
  }

  void OnUseLastToggled(bool ticked) { m_useLastTicked = ticked; }

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

  void DeliverPosted() {
    for (;;) {
      std::function<void()> next;
      {
        std::lock_guard lock(m_mutex);
        if (m_posted.empty()) {
          return;
        }
        next = std::move(m_posted.front());
        m_posted.pop_front();
      }
      next();
    }
  }

  void OnStopRequested() {
    if (m_stopRequested) {
      return;
    }
    m_stopRequested = true;
    m_cancel = true;
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
    DeliverPosted();
  }

  int ExitStatus() const { return m_stopRequested ? kInterruptedExit : 0; }
  std::optional<update::FlashResult> LastAttempt() const { return m_lastAttempt; }

  bool IsSetUp() const { return m_setUp; }
  bool IsBusy() const { return m_busy; }
  bool IsUpdating() const { return m_updating; }
  bool AutoRepeatArmed() const { return m_autoRepeatArmed; }

  // Feedback: called on whichever thread runs the session's work.

  void AddStatus(const std::string& text, bool alert) override {
    if (m_holdStatus) {
      m_heldStatus.emplace_back(text, alert);
      return;
    }
    Post([this, text, alert] {
      m_lines.push_back(text);
      while (m_lines.size() > kStatusLines) {
        m_lines.pop_front();
      }
      m_view.ShowStatus({m_lines.begin(), m_lines.end()});
      if (alert) {
        m_view.SoundAlert();
      }
    });
  }
  void SetProgressRange(uint32_t upper) override {
    Post([this, upper] {
      m_range = upper;
      DrawProgress();
    });
  }
  void SetProgressStep(uint32_t step) override {
    Post([this, step] { m_step = step; });
  }
  void SetProgressPosition(uint32_t position) override {
    Post([this, position] {
      m_position = position;
      DrawProgress();
    });
  }
  void StepProgress() override {
    Post([this] {
      m_position = static_cast<uint32_t>(
          std::min<uint64_t>(m_range, uint64_t{std::min(m_position, m_range)} + m_step));
      DrawProgress();
    });
  }
  void ScanStarted() override {
    Post([this] { SetWaiting(true); });
  }
  void ScanEnded() override {
    Post([this] { SetWaiting(false); });
  }
  // A new list has no image recalled for it yet: the box stays greyed until one is.
  void ShowInterfaces(const std::vector<discovery::InterfaceRow>& rows) override {
    std::vector<ListRow> shown;
    shown.reserve(rows.size());
    for (const discovery::InterfaceRow& row : rows) {
      shown.push_back({row.device, row.version, row.serial, row.tooltip});
    }
    Post([this, shown = std::move(shown)] {
      m_view.ShowRows(shown, shown.empty() ? -1 : 0);
      m_useLastEnabled = false;
      DrawUseLast();
    });
  }
  void LastImageRecalled(const std::string& /*path*/, bool useLastAgain) override {
    Post([this, useLastAgain] {
      m_useLastEnabled = true;
      m_useLastTicked = useLastAgain;
      DrawUseLast();
    });
  }
  // A failed update gives the arrow back at once; a successful one shows the box as the
  // session holds it, and the scan after it sets the cursor.
  void UpdateEnded(bool succeeded) override {
    if (!succeeded) {
      Post([this] { SetWaiting(false); });
      return;
    }
    Post([this, ticked = m_session.useLastAgain] {
      m_useLastTicked = ticked;
      DrawUseLast();
    });
  }

 private:
  // The update of one interface, on the worker. Its status lines are held back until its
  // record is on disk, so the window never tells of an attempt that was not kept.
  update::FlashOutcome FlashAndRecord(int index) {
    if (!m_setup.recorder || index < 0 ||
        static_cast<std::size_t>(index) >= m_session.interfaces.Count()) {
      return session::FlashInterface(m_session, index);
    }
    const protocol::InterfaceRecord device = m_session.interfaces[static_cast<std::size_t>(index)];
    const std::string imagePath = m_session.currentImagePath;
    const auto startedAt = std::chrono::system_clock::now();
    const auto start = std::chrono::steady_clock::now();
    m_holdStatus = true;
    update::FlashOutcome outcome = session::FlashInterface(m_session, index);
    m_holdStatus = false;
    if (update::ResultOf(outcome) != update::FlashResult::NoImagePath) {
      KeepRecord(device, imagePath, outcome, startedAt, start);
    }
    for (const auto& [text, alert] : std::exchange(m_heldStatus, {})) {
      AddStatus(text, alert);
    }
    return outcome;
  }

  void KeepRecord(const protocol::InterfaceRecord& device, const std::string& imagePath,
                  const update::FlashOutcome& outcome,
                  std::chrono::system_clock::time_point startedAt,
                  std::chrono::steady_clock::time_point start) {
    const bool loaded = update::ResultOf(outcome) != update::FlashResult::ImageUnusable;
    const image::FirmwareImage& image = *m_session.image;
    const std::string sha256 =
        loaded ? platform::Sha256Hex(std::span<const uint8_t>(image.data.data(), image.length))
               : std::string();
    const auto endedAt = std::chrono::system_clock::now();
    const int64_t durationMs = std::chrono::duration_cast<std::chrono::milliseconds>(
                                   std::chrono::steady_clock::now() - start)
                                   .count();
    const records::Record record = records::RecordOfAttempt(
        m_setup.recorder->Config().identity, device, loaded ? &image : nullptr, imagePath, sha256,
        outcome, startedAt, endedAt, durationMs);
    if (auto kept = m_setup.recorder->Keep(record); !kept) {
      m_heldStatus.emplace_back("Record not kept: " + records::Describe(kept.error()), true);
    }
  }

  // Runs `call` on the face's thread after everything posted before it.
  void Post(std::function<void()> call) {
    if (std::this_thread::get_id() == m_faceThread) {
      DeliverPosted();
      call();
      return;
    }
    {
      std::lock_guard lock(m_mutex);
      m_posted.push_back(std::move(call));
    }
    m_view.PostToFace();
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
        AddStatus(std::string("Internal error: ") + error.what(), true);
      }
      Post([this] { Finish(); });
    };
    try {
      m_worker = std::thread(run);
    } catch (const std::system_error&) {
      // No thread to be had (a process or container limit): the work runs here instead, and
      // the window does not paint until it has ended.
      run();
    }
  }

  // Every update attempt the window starts ends here, whatever its result (an interrupted one
  // included): the one place where the attempt is recorded. Runs on the worker.
  void RecordAttempt(const update::FlashOutcome& outcome) {
    m_lastAttempt = update::ResultOf(outcome);
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
    SetWaiting(false);  // whatever path the work took, the arrow comes back
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

  void SetWaiting(bool waiting) {
    if (waiting != m_waiting) {
      m_waiting = waiting;
      m_view.ShowWaitCursor(waiting);
    }
  }

  // An empty range shows an empty bar, never the "busy" animation.
  void DrawProgress() {
    m_view.ShowProgress(std::max<uint32_t>(m_range, 1), std::min(m_position, m_range));
  }

  void DrawUseLast() { m_view.ShowUseLast(m_useLastEnabled, m_useLastTicked); }

  WindowView& m_view;
  WindowSetup m_setup;
  std::thread::id m_faceThread;
  Session m_session;
  std::atomic<bool> m_cancel{false};

  std::mutex m_mutex;
  std::deque<std::function<void()>> m_posted;
  std::thread m_worker;
  std::function<void()> m_then;
  bool m_busy = false;
  bool m_updated = false;  // written by the worker, read after it has been joined
  // Worker only: status lines of an update wait here until its record is kept.
  bool m_holdStatus = false;
  std::vector<std::pair<std::string, bool>> m_heldStatus;
  bool m_updating = false;
  bool m_stopRequested = false;
  std::optional<update::FlashResult> m_lastAttempt;  // written by the worker, read after join

  bool m_setUp = false;
  bool m_closed = false;
  bool m_autoRepeatArmed = false;
  bool m_timerPending = false;

  // What the face shows, as the face's thread last drew it.
  std::deque<std::string> m_lines;
  uint32_t m_range = 0;
  uint32_t m_step = 1;
  uint32_t m_position = 0;
  bool m_waiting = false;
  bool m_useLastEnabled = false;
  bool m_useLastTicked = false;
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
