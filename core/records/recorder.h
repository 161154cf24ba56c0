#pragma once

#include <condition_variable>
#include <filesystem>
#include <future>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <stop_token>
#include <string>
#include <thread>

#include "core/records/record.h"
#include "core/records/record_store.h"
#include "core/records/server.h"

namespace lumaflash::records {

// Where a run keeps its records and under which names.
struct RecordsConfig {
  bool off = false;                 // --records off: nothing is recorded
  std::filesystem::path storePath;  // the local store; empty when no default could be found
  bool defaultPath = false;         // the place was not named: its folder may be made
  StationIdentity identity;
  std::string serverUri;  // the factory's server (libpq URI), or empty
};

// The settings from the options (empty: not given) and the environment: --records beats
// LUMAFLASH_RECORDS beats the default place; --records-server beats LUMAFLASH_RECORDS_SERVER;
// --station beats the host name. The operator is the OS user.
RecordsConfig ResolveRecordsConfig(const std::string& recordsOption,
                                   const std::string& stationOption,
                                   const std::string& serverOption,
                                   const std::string& programVersion);

// Keeps one record per update attempt in the local store: its row is begun before the attempt
// sends anything and finished when it ends. The store is opened on first use and again after a
// failure, so a store that comes back (space freed, lock released) is used. Safe to call from
// several update threads at once.
class Recorder {
 public:
  explicit Recorder(RecordsConfig config);
  ~Recorder() = default;
  Recorder(const Recorder&) = delete;
  Recorder& operator=(const Recorder&) = delete;

  bool Enabled() const { return !m_config.off; }
  const RecordsConfig& Config() const { return m_config; }

  // Opens the store now, or says why it cannot be used.
  RecordsResult<void> Open();
  // Commits the row of an attempt that begins (RecordStore::Begin), or says why not. It is on the
  // disk once the note that follows it is.
  RecordsResult<void> Begin(const Record& record);
  // Notes how far a begun attempt got, without waiting: a thread of the recorder's own writes
  // it to the disk, so the line never waits for it. Only the newest note per attempt is written.
  // The future is ready once that note is on disk, or was given up.
  std::shared_future<void> NoteProgress(const std::string& id, int64_t block, int64_t endedAtMs,
                                        int64_t durationMs);
  // Commits the final record of an attempt to the disk: over its begun row when `begun`,
  // otherwise as a new row. With a server named, the forwarding thread is told at once.
  RecordsResult<void> Finish(const Record& record, bool begun);

  // Starts forwarding to the server, when one is named and records are kept.
  void StartForwarding();
  // At the end of the run: gives the queue at most `patience` (less once a stop is requested on
  // `stop`), then stops forwarding. The number of records still waiting in the local store;
  // nothing when no server is named or the store cannot be read.
  std::optional<std::size_t> FinishForwarding(std::chrono::milliseconds patience,
                                              const std::stop_token& stop = {});
  // Why forwarding last failed; nothing while it has not.
  std::optional<RecordsError> ForwardingError();
  // The records the server refused for good during this run (known once forwarding finished).
  std::vector<Rejection> ForwardingRefusals();

 private:
  struct Progress {
    int64_t block = 0;
    int64_t endedAtMs = 0;
    int64_t durationMs = 0;
    std::vector<std::promise<void>> written;  // kept when a newer note replaces this one
  };

  RecordsResult<void> OpenLocked();
  template <typename Write>
  RecordsResult<void> WithStore(Write write);
  void WriteProgress(const std::stop_token& stop);

  RecordsConfig m_config;
  std::mutex m_mutex;
  std::unique_ptr<RecordStore> m_store;
  std::unique_ptr<Forwarder> m_forwarder;
  std::optional<RecordsError> m_forwardingError;
  std::vector<Rejection> m_refusals;

  std::mutex m_progressMutex;
  std::condition_variable_any m_progressChanged;
  std::map<std::string, Progress> m_progress;
  std::jthread m_progressWriter;  // started with the first note; last, so it stops first
};

}  // namespace lumaflash::records
