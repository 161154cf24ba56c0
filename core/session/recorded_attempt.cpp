#include "core/session/recorded_attempt.h"

#include <functional>
#include <future>
#include <system_error>
#include <thread>
#include <utility>
#include <vector>

#include "core/platform/sha256.h"
#include "core/platform/text_path.h"
#include "core/records/record.h"

namespace lumaflash::session {

namespace {

using Clock = std::chrono::steady_clock;

// How often a running attempt's row notes the block it has reached.
constexpr std::chrono::seconds kProgressNoteEvery{1};

int64_t MillisecondsSince(Clock::time_point start) {
  return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count();
}

// Stands between the update and the face. A line is shown as it happens until one tells how
// the attempt ended (a line with the alert, or any line once blocks went out); that line and
// everything after it wait for Release(), which comes once the attempt's record is on disk, so
// no face tells of an ending that was not kept, and what followed keeps its order. Before each
// block it hands the block's number to the progress note.
class AttemptListener final : public update::UpdateListener {
 public:
  explicit AttemptListener(update::UpdateListener& shown) : m_shown(shown) {}

  void NoteProgressWith(std::function<void(uint32_t)> noteProgress) {
    m_noteProgress = std::move(noteProgress);
  }
  void OnSuccess(std::function<void()> succeeded) { m_succeeded = std::move(succeeded); }
  void BeforeFirstBlock(std::function<void()> first) { m_beforeFirstBlock = std::move(first); }

  void AddStatus(const std::string& text, bool alert) override {
    if (!alert && !m_stepped && m_held.empty()) {
      m_shown.AddStatus(text, alert);
      return;
    }
    m_held.emplace_back([this, text, alert] { m_shown.AddStatus(text, alert); });
  }
  void AddDetail(const std::string& text) override {
    Pass([this, text] { m_shown.AddDetail(text); }, !m_stepped);
  }
  void SetProgressRange(uint32_t upper) override {
    Pass([this, upper] { m_shown.SetProgressRange(upper); });
  }
  void SetProgressStep(uint32_t step) override {
    Pass([this, step] { m_shown.SetProgressStep(step); });
  }
  void SetProgressPosition(uint32_t position) override {
    Pass([this, position] { m_shown.SetProgressPosition(position); });
  }
  void StepProgress() override {
    if (!m_stepped && m_beforeFirstBlock) {
      m_beforeFirstBlock();
    }
    m_stepped = true;
    ++m_steps;
    if (m_noteProgress) {
      m_noteProgress(m_steps);
    }
    Pass([this] { m_shown.StepProgress(); });
  }
  void Succeeded() override {
    if (m_succeeded) {
      m_succeeded();
    }
  }
  void UpdateEnded(bool succeeded) override {
    Pass([this, succeeded] { m_shown.UpdateEnded(succeeded); });
  }

  // Shows what was held, in order.
  void Release() {
    for (const auto& call : std::exchange(m_held, {})) {
      call();
    }
  }

 private:
  void Pass(std::function<void()> call, bool mayPass = true) {
    if (mayPass && m_held.empty()) {
      call();
    } else {
      m_held.push_back(std::move(call));
    }
  }

  update::UpdateListener& m_shown;
  std::function<void(uint32_t)> m_noteProgress;
  std::function<void()> m_succeeded;
  std::function<void()> m_beforeFirstBlock;
  std::vector<std::function<void()>> m_held;
  bool m_stepped = false;
  uint32_t m_steps = 0;
};

// The attempt's row in the store: begun before the first packet, noted as blocks go out,
// finished at the end. Does nothing when records are off.
class RecordKeeper {
 public:
  RecordKeeper(const AttemptRules& rules, const Attempt& attempt,
               const image::FirmwareImage* image)
      : m_recorder(rules.recorder != nullptr && rules.recorder->Enabled() ? rules.recorder
                                                                          : nullptr) {
    if (m_recorder == nullptr) {
      return;
    }
    auto made = records::RecordOfAttempt(m_recorder->Config().identity, attempt.device, image,
                                         attempt.imagePath, attempt.sha256, attempt.startedAt);
    if (made) {
      m_record = std::move(*made);
    } else {
      m_problem = records::Describe(made.error());
    }
  }

  // Commits the row of the attempt that begins; why it could not be, or nothing.
  std::optional<std::string> Begin() {
    if (m_record) {
      auto begun = m_recorder->Begin(*m_record);
      m_begun = begun.has_value();
      m_problem = begun ? std::nullopt : std::optional(records::Describe(begun.error()));
    }
    return m_problem;
  }

  // Notes the block reached; the future is ready once the note is on disk.
  std::shared_future<void> NoteProgress(uint32_t block, Clock::time_point start) {
    if (!m_begun) {
      std::promise<void> nothing;
      nothing.set_value();
      return nothing.get_future().share();
    }
    const int64_t duration = MillisecondsSince(start);
    return m_recorder->NoteProgress(m_record->id, block, m_record->startedAtMs + duration,
                                    duration);
  }

  // Commits the final record; why the store does not hold it, or nothing.
  std::optional<std::string> Finish(const Attempt& attempt) {
    if (!m_record) {
      return m_problem;
    }
    records::FinishRecord(*m_record, attempt.outcome,
                          attempt.startedAt + std::chrono::milliseconds(attempt.durationMs),
                          attempt.durationMs);
    auto finished = m_recorder->Finish(*m_record, m_begun);
    return finished ? std::nullopt : std::optional(records::Describe(finished.error()));
  }

 private:
  records::Recorder* m_recorder;
  std::optional<records::Record> m_record;
  bool m_begun = false;
  std::optional<std::string> m_problem;
};

// The pass over the system's processes that looks for programs holding the port runs beside the
// attempt's own preparation, unless a scan has just made it.
std::jthread LookForHoldersBeside(const std::string& path) {
  if (serial::RecentlyLooked(path)) {
    return {};
  }
  try {
    return std::jthread([path] {
      try {
        serial::LookForHolders({path});
      } catch (...) {
        // Nothing remembered: the update looks for itself.
      }
    });
  } catch (const std::system_error&) {
    return {};  // no thread to be had: the update looks for itself
  }
}

update::FlashOutcome ImageUnusable(update::UpdateListener& listener, const std::string& line) {
  listener.AddStatus(line, true);
  listener.UpdateEnded(false);
  return MakeUnexpected(update::UpdateError{update::FlashResult::ImageUnusable, {}, line});
}

}  // namespace

std::string AbsoluteImagePath(const std::string& path) {
  std::error_code noDirectory;
  const std::filesystem::path absolute =
      std::filesystem::absolute(platform::PathFromUtf8(path), noDirectory);
  if (noDirectory) {
    return path;
  }
  std::filesystem::path cleaned;
  for (const std::filesystem::path& part : absolute) {
    if (part != ".") {
      cleaned /= part;
    }
  }
  return platform::Utf8FromPath(cleaned);
}

bool CheckedImage::Unchanged() const {
  std::error_code noStatus;
  const std::filesystem::path file = platform::PathFromUtf8(path);
  const std::uintmax_t nowSize = std::filesystem::file_size(file, noStatus);
  const std::filesystem::file_time_type nowModified =
      noStatus ? std::filesystem::file_time_type{}
               : std::filesystem::last_write_time(file, noStatus);
  return !noStatus && nowSize == size && nowModified == modified;
}

Expected<CheckedImage, image::ImageError> CheckImage(const std::string& path) {
  CheckedImage checked;
  checked.path = AbsoluteImagePath(path);
  const std::filesystem::path file = platform::PathFromUtf8(checked.path);
  // Taken before the file is read: a change while it is read shows at the next attempt.
  std::error_code noStatus;
  checked.size = std::filesystem::file_size(file, noStatus);
  checked.modified = std::filesystem::last_write_time(file, noStatus);
  auto image = std::make_shared<image::FirmwareImage>();
  if (auto loaded = image::LoadFirmwareImage(file, *image); !loaded) {
    return MakeUnexpected(loaded.error());
  }
  checked.sha256 = platform::Sha256Hex(std::span<const uint8_t>(image->data.data(), image->length));
  checked.image = std::move(image);
  return checked;
}

namespace {

// The image the attempt sends: the one the run checked, while its file is unchanged, else the
// file loaded afresh into `buffer`. Its payload's hash goes into `attempt`.
Expected<const image::FirmwareImage*, image::ImageError> ImageFor(const AttemptRules& rules,
                                                                    Attempt& attempt,
                                                                    image::FirmwareImage& buffer) {
  if (rules.checked != nullptr && rules.checked->path == attempt.imagePath &&
      rules.checked->Unchanged()) {
    attempt.sha256 = rules.checked->sha256;
    return rules.checked->image.get();
  }
  if (auto loaded = image::LoadFirmwareImage(platform::PathFromUtf8(attempt.imagePath), buffer);
      !loaded) {
    return MakeUnexpected(loaded.error());
  }
  attempt.sha256 = platform::Sha256Hex(std::span<const uint8_t>(buffer.data.data(), buffer.length));
  return &buffer;
}

// What one attempt works with while it runs.
struct Running {
  const AttemptRules& rules;
  Attempt& attempt;
  RecordKeeper& keeper;
  AttemptListener& listener;
  Clock::time_point start;
  bool finished = false;

  // Ends the attempt: its duration, its record finished, the lines held until then shown.
  void Finish(int64_t durationMs) {
    attempt.durationMs = durationMs;
    attempt.recordNotKept = keeper.Finish(attempt);
    finished = true;
    listener.Release();
  }
};

// The transfer of a loaded image, its row begun before the start packet, on disk before the
// first block and finished at its end (after a success, within the device's pause to start).
// The reason when the store could not take the row and a record is required: nothing was sent.
std::optional<AttemptRefused> Transfer(Running& run, const image::FirmwareImage& image,
                                       const std::string& shownPath) {
  std::jthread look = LookForHoldersBeside(run.attempt.device.portPath);
  if (auto notBegun = run.keeper.Begin(); notBegun && run.rules.requireRecord) {
    return AttemptRefused{*notBegun};
  }
  const std::shared_future<void> onDisk = run.keeper.NoteProgress(0, run.start);
  run.listener.BeforeFirstBlock([&onDisk] { onDisk.wait(); });
  if (look.joinable()) {
    look.join();
  }
  // Notes of the block reached, at most one a second: each is a synced commit, and a short
  // update of eight devices at once would otherwise spend its time on them.
  Clock::time_point noted = Clock::now();
  run.listener.NoteProgressWith([&](uint32_t block) {
    if (Clock::now() - noted >= kProgressNoteEvery) {
      noted = Clock::now();
      (void)run.keeper.NoteProgress(block, run.start);
    }
  });
  run.listener.OnSuccess([&run] {
    run.attempt.outcome = {};
    run.Finish(MillisecondsSince(run.start) + update::kRunPause.count());
  });
  run.attempt.outcome = update::TransferImage(run.attempt.device, image, shownPath, run.listener,
                                              run.rules.stop, run.rules.holderWait);
  return std::nullopt;
}

}  // namespace

Expected<Attempt, AttemptRefused> RunAttempt(const AttemptRules& rules,
                                             const protocol::InterfaceRecord& device,
                                             const std::string& imagePath,
                                             image::FirmwareImage& image,
                                             update::UpdateListener& shown) {
  Attempt attempt;
  attempt.device = device;
  attempt.imagePath = AbsoluteImagePath(imagePath);
  attempt.startedAt = std::chrono::system_clock::now();
  const Clock::time_point start = Clock::now();
  AttemptListener listener(shown);
  const auto sending = ImageFor(rules, attempt, image);
  RecordKeeper keeper(rules, attempt, sending ? *sending : nullptr);
  Running run{rules, attempt, keeper, listener, start};
  if (!sending) {
    attempt.outcome = ImageUnusable(listener, image::Describe(sending.error()));
  } else if (auto refused = Transfer(run, **sending, imagePath)) {
    return MakeUnexpected(std::move(*refused));
  }
  if (!run.finished) {
    run.Finish(MillisecondsSince(start));
  }
  return attempt;
}

}  // namespace lumaflash::session
