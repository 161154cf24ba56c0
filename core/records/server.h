#pragma once

#include <atomic>
#include <chrono>
#include <cstddef>
#include <filesystem>
#include <memory>
#include <optional>
#include <stop_token>
#include <string>
#include <thread>
#include <vector>

#include "core/records/forward_marks.h"
#include "core/records/record.h"
#include "core/records/record_store.h"
#include "core/records/records_error.h"

namespace lumaflash::records {

// The layout of the server's tables that this program knows (lumaflash_schema.version).
inline constexpr int kServerSchemaVersion = 2;

// How long a caller still waits for the server. Another thread may end the wait at any time: the
// end of a run sets a deadline, a stop request ends it at once. Every wait on the server looks at
// it at least every 50 ms, and cancels the statement it waits for when it is over.
class WaitLimit {
 public:
  using Clock = std::chrono::steady_clock;

  void SetDeadline(Clock::time_point deadline);
  void Stop();
  // Whether the wait must end now.
  bool Over() const;
  // How long to wait before looking again: at most `slice`, nothing once Over().
  std::chrono::milliseconds Slice(std::chrono::milliseconds slice) const;
  // Why it is over, for the operator.
  std::string Why() const;

 private:
  std::atomic<Clock::rep> m_deadline{Clock::time_point::max().time_since_epoch().count()};
  std::stop_source m_stop;
};

// What one call to Forward() did.
struct ForwardReport {
  std::size_t sent = 0;                 // records the server committed in this call
  std::vector<Rejection> refused;       // records the server refused for good in this call
  std::vector<Rejection> rejected;      // every record this server has refused, and refuses still
  std::optional<RecordsError> failure;  // why it stopped early: unreachable, refused, stopped
};

// The station's link to the server at `uri` (a libpq URI; the password comes from ~/.pgpass or
// PGPASSFILE). The connection is made by the first call and kept for the next ones; a failure
// of the link drops it and the next call connects again.
class ServerLink {
 public:
  explicit ServerLink(std::string uri);
  ~ServerLink();
  ServerLink(const ServerLink&) = delete;
  ServerLink& operator=(const ServerLink&) = delete;

  // Sends the store's records that wait for this server, in batches, each committed by the
  // server before it is marked in the store, within `limit`. A record the server refuses for
  // good is marked rejected (with the server's SQLSTATE and message) and the others go on; a
  // failure of the link or the server (unreachable, overloaded, time-outs, a stop) leaves
  // them waiting. A record the server already has is not doubled. With `retryRefused` the
  // records this server refused before are offered again first.
  ForwardReport Forward(RecordStore& store, const WaitLimit& limit, bool retryRefused = false);
  // How many records wait for this server; nothing when the store cannot be read.
  std::optional<std::size_t> CountWaiting(RecordStore& store);

 private:
  struct Link;
  std::string m_uri;
  std::unique_ptr<Link> m_link;
};

// Forwards the store's records to the server on a thread of its own, so the line never waits
// for the network. The thread connects at once and keeps its connection; it forwards at start,
// after each Wake(), and retries with growing pauses (1 s doubling up to 60 s) while the server
// cannot be reached. The queue is the store itself: what is not forwarded when the program ends
// is forwarded by the next run or `records sync`.
class Forwarder {
 public:
  Forwarder(std::filesystem::path storePath, std::string uri);
  // Stops the thread without waiting for the queue.
  ~Forwarder();
  Forwarder(const Forwarder&) = delete;
  Forwarder& operator=(const Forwarder&) = delete;

  // A record was committed locally: forward it soon.
  void Wake();
  // Gives the queue at most `patience` in all, whatever the server does, then stops the
  // thread; sooner when a round finds the server failing, or as soon as a stop is requested on
  // `stop`. Returns how many records still wait for the server (nothing when the store cannot
  // be read).
  std::optional<std::size_t> Finish(std::chrono::milliseconds patience,
                                    const std::stop_token& stop = {});
  // Why forwarding last failed; nothing while it has not.
  std::optional<RecordsError> LastError();
  // The records the server refused for good since the start.
  std::vector<Rejection> Refused();

 private:
  struct State;
  static void Run(State& state, const std::stop_token& stopping);
  static void RunGuarded(const std::shared_ptr<State>& state, const std::stop_token& stopping);

  std::shared_ptr<State> m_state;
  std::jthread m_thread;  // detached when it overstays the end of the run
};

}  // namespace lumaflash::records
