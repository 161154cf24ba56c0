#include "core/records/recorder.h"

#include <system_error>

#include "core/platform/text_path.h"
#include "core/records/station.h"

namespace lumaflash::records {

RecordsConfig ResolveRecordsConfig(const std::string& recordsOption,
                                   const std::string& stationOption,
                                   const std::string& serverOption,
                                   const std::string& programVersion) {
  RecordsConfig config;
  std::string place = recordsOption;
  if (place.empty()) {
    place = EnvironmentText("LUMAFLASH_RECORDS").value_or("");
  }
  config.off = place == "off";
  if (place.empty()) {
    config.storePath = DefaultStorePath();
    config.defaultPath = true;
  } else if (!config.off) {
    config.storePath = platform::PathFromUtf8(place);
  }
  config.serverUri = serverOption.empty() ? EnvironmentText("LUMAFLASH_RECORDS_SERVER").value_or("")
                                          : serverOption;
  config.identity.station = stationOption.empty() ? HostName() : stationOption;
  config.identity.operatorName = OperatorName();
  config.identity.programVersion = programVersion;
  return config;
}

Recorder::Recorder(RecordsConfig config) : m_config(std::move(config)) {}

RecordsResult<void> Recorder::OpenLocked() {
  if (m_store) {
    return {};
  }
  if (m_config.storePath.empty()) {
    return RecordsFailure(
        "no place for the record store is known (neither XDG_STATE_HOME nor HOME is set): name "
        "one with --records PATH");
  }
  if (m_config.defaultPath) {
    std::error_code ignored;  // a folder that cannot be made is reported by the open below
    std::filesystem::create_directories(m_config.storePath.parent_path(), ignored);
  }
  auto opened = RecordStore::Open(m_config.storePath, RecordStore::Mode::Write);
  if (!opened) {
    return MakeUnexpected(opened.error());
  }
  m_store = std::move(*opened);
  return {};
}

RecordsResult<void> Recorder::Open() {
  const std::lock_guard lock(m_mutex);
  return OpenLocked();
}

template <typename Write>
RecordsResult<void> Recorder::WithStore(Write write) {
  const std::lock_guard lock(m_mutex);
  if (auto opened = OpenLocked(); !opened) {
    return opened;
  }
  if (auto written = write(*m_store); !written) {
    m_store.reset();  // opened afresh for the next record
    return written;
  }
  return {};
}

RecordsResult<void> Recorder::Begin(const Record& record) {
  return WithStore([&](RecordStore& store) { return store.Begin(record); });
}

std::shared_future<void> Recorder::NoteProgress(const std::string& id, int64_t block,
                                                int64_t endedAtMs, int64_t durationMs) {
  std::shared_future<void> written;
  {
    const std::lock_guard lock(m_progressMutex);
    if (!m_progressWriter.joinable()) {
      try {
        m_progressWriter =
            std::jthread([this](const std::stop_token& stop) { WriteProgress(stop); });
      } catch (const std::system_error&) {
        // No thread to be had: the progress goes unnoted, and the line goes on.
        std::promise<void> givenUp;
        givenUp.set_value();
        return givenUp.get_future().share();
      }
    }
    Progress& note = m_progress[id];
    note.block = block;
    note.endedAtMs = endedAtMs;
    note.durationMs = durationMs;
    written = note.written.emplace_back().get_future().share();
  }
  m_progressChanged.notify_all();
  return written;
}

void Recorder::WriteProgress(const std::stop_token& stop) {
  std::unique_lock lock(m_progressMutex);
  while (m_progressChanged.wait(lock, stop, [this] { return !m_progress.empty(); })) {
    std::map<std::string, Progress> due = std::exchange(m_progress, {});
    lock.unlock();
    for (auto& entry : due) {
      const std::string& id = entry.first;
      Progress& progress = entry.second;
      // A note that comes after the attempt's end changes nothing in the store.
      (void)WithStore([&](RecordStore& store) {
        return store.NoteProgress(id, progress.block, progress.endedAtMs, progress.durationMs);
      });
      for (std::promise<void>& written : progress.written) {
        written.set_value();
      }
    }
    lock.lock();
  }
}

RecordsResult<void> Recorder::Finish(const Record& record, bool begun) {
  {
    // A note not yet written is not needed: the final record carries the block.
    const std::lock_guard lock(m_progressMutex);
    if (const auto pending = m_progress.find(record.id); pending != m_progress.end()) {
      for (std::promise<void>& written : pending->second.written) {
        written.set_value();
      }
      m_progress.erase(pending);
    }
  }
  auto written = WithStore(
      [&](RecordStore& store) { return begun ? store.Finish(record) : store.Commit(record); });
  if (written) {
    const std::lock_guard lock(m_mutex);
    if (m_forwarder) {
      m_forwarder->Wake();
    }
  }
  return written;
}

void Recorder::StartForwarding() {
  const std::lock_guard lock(m_mutex);
  if (!m_config.off && !m_config.serverUri.empty() && !m_config.storePath.empty() && !m_forwarder) {
    m_forwarder = std::make_unique<Forwarder>(m_config.storePath, m_config.serverUri);
  }
}

std::optional<std::size_t> Recorder::FinishForwarding(std::chrono::milliseconds patience,
                                                      const std::stop_token& stop) {
  std::unique_ptr<Forwarder> forwarder;
  {
    const std::lock_guard lock(m_mutex);
    forwarder = std::move(m_forwarder);
  }
  if (!forwarder) {
    return std::nullopt;
  }
  const std::optional<std::size_t> waiting = forwarder->Finish(patience, stop);
  const std::lock_guard lock(m_mutex);
  m_forwardingError = forwarder->LastError();
  m_refusals = forwarder->Refused();
  return waiting;
}

std::vector<Rejection> Recorder::ForwardingRefusals() {
  const std::lock_guard lock(m_mutex);
  return m_refusals;
}

std::optional<RecordsError> Recorder::ForwardingError() {
  const std::lock_guard lock(m_mutex);
  return m_forwarder ? m_forwarder->LastError() : m_forwardingError;
}

}  // namespace lumaflash::records
