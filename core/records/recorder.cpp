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

bool Recorder::OpenLocked(std::string& error) {
  if (m_store) {
    return true;
  }
  if (m_config.storePath.empty()) {
    error =
        "no place for the record store is known (neither XDG_STATE_HOME nor HOME is set): name "
        "one with --records PATH";
    return false;
  }
  if (m_config.defaultPath) {
    std::error_code ignored;  // a folder that cannot be made is reported by the open below
    std::filesystem::create_directories(m_config.storePath.parent_path(), ignored);
  }
  m_store = RecordStore::Open(m_config.storePath, RecordStore::Mode::Write, error);
  return m_store != nullptr;
}

bool Recorder::Open(std::string& error) {
  const std::lock_guard lock(m_mutex);
  return OpenLocked(error);
}

bool Recorder::Keep(const Record& record, std::string& error) {
  const std::lock_guard lock(m_mutex);
  if (!OpenLocked(error)) {
    return false;
  }
  if (!m_store->Commit(record, error)) {
    m_store.reset();  // opened afresh for the next record
    return false;
  }
  if (m_forwarder) {
    m_forwarder->Wake();
  }
  return true;
}

void Recorder::StartForwarding() {
  const std::lock_guard lock(m_mutex);
  if (!m_config.off && !m_config.serverUri.empty() && !m_config.storePath.empty() && !m_forwarder) {
    m_forwarder = std::make_unique<Forwarder>(m_config.storePath, m_config.serverUri);
  }
}

std::optional<std::size_t> Recorder::FinishForwarding(std::chrono::milliseconds patience) {
  std::unique_ptr<Forwarder> forwarder;
  {
    const std::lock_guard lock(m_mutex);
    forwarder = std::move(m_forwarder);
  }
  if (!forwarder) {
    return std::nullopt;
  }
  const std::optional<std::size_t> waiting = forwarder->Finish(patience);
  const std::lock_guard lock(m_mutex);
  m_forwardingError = forwarder->LastError();
  return waiting;
}

std::string Recorder::ForwardingError() {
  const std::lock_guard lock(m_mutex);
  return m_forwarder ? m_forwarder->LastError() : m_forwardingError;
}

}  // namespace lumaflash::records
