#pragma once

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <filesystem>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "core/records/record.h"
#include "core/records/record_store.h"
#include "core/records/records_error.h"

namespace lumaflash::records {

// The layout of the server's tables that this program knows (lumaflash_schema.version).
inline constexpr int kServerSchemaVersion = 1;

// Sends the store's waiting records to the server at `uri` (a libpq URI; the password comes
// from ~/.pgpass or PGPASSFILE), in batches, each batch committed by the server before its
// records are marked as forwarded. A record the server already has is not doubled. What was
// sent before a failure stays sent.
struct ForwardReport {
  std::size_t sent = 0;                 // records the server committed in this call
  std::optional<RecordsError> failure;  // why it stopped early: unreachable, refused
};
ForwardReport ForwardWaiting(RecordStore& store, const std::string& uri);

// Forwards the store's records to the server on a thread of its own, so the line never waits
// for the network. It forwards at start, after each Wake(), and retries with growing pauses
// (1 s doubling up to 60 s) while the server cannot be reached. The queue is the store itself:
// what is not forwarded when the program ends is forwarded by the next run or `records sync`.
class Forwarder {
 public:
  Forwarder(std::filesystem::path storePath, std::string uri);
  // Stops the thread (see Finish()).
  ~Forwarder();
  Forwarder(const Forwarder&) = delete;
  Forwarder& operator=(const Forwarder&) = delete;

  // A record was committed locally: forward it soon.
  void Wake();
  // Gives the queue at most `patience` to empty (less when a last round finds the server
  // unreachable), then stops the thread. Returns how many
  // records are still waiting in the store (nothing when the store cannot be read).
  std::optional<std::size_t> Finish(std::chrono::milliseconds patience);
  // The last reason forwarding failed, or empty.
  std::string LastError();

 private:
  void Run();
  bool ForwardOnce(std::optional<std::size_t>& waiting);

  std::filesystem::path m_storePath;
  std::string m_uri;
  std::mutex m_mutex;
  std::condition_variable m_changed;
  bool m_pending = true;
  bool m_stopping = false;
  bool m_idle = false;  // the last round left nothing waiting
  bool m_lastFailed = false;
  std::size_t m_rounds = 0;  // rounds finished
  std::string m_lastError;
  std::thread m_thread;
};

}  // namespace lumaflash::records
