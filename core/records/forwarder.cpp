#include <algorithm>
#include <condition_variable>
#include <exception>
#include <mutex>

#include "core/records/server.h"

namespace lumaflash::records {

namespace {

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

constexpr milliseconds kFirstRetry{1000};
constexpr milliseconds kLastRetry{60'000};
// Without news the thread still looks once an hour, for records another run left behind.
constexpr std::chrono::hours kQuietLook{1};
// Of the patience at the end of a run, this much is left for the thread to cancel the statement
// it waits for and end.
constexpr milliseconds kWindDown{300};

}  // namespace

void WaitLimit::SetDeadline(Clock::time_point deadline) {
  m_deadline.store(deadline.time_since_epoch().count());
}

void WaitLimit::Stop() {
  m_stop.request_stop();
}

bool WaitLimit::Over() const {
  return m_stop.stop_requested() || Clock::now().time_since_epoch().count() >= m_deadline.load();
}

milliseconds WaitLimit::Slice(milliseconds slice) const {
  if (m_stop.stop_requested()) {
    return milliseconds(0);
  }
  const Clock::duration left = Clock::duration(m_deadline.load()) - Clock::now().time_since_epoch();
  return std::clamp(std::chrono::duration_cast<milliseconds>(left), milliseconds(0), slice);
}

std::string WaitLimit::Why() const {
  return m_stop.stop_requested() ? "stopped before the server took them"
                          : "the time for the server at the end of the run ran out";
}

// What the forwarding thread and the program share. The thread holds it too, so that a thread
// that outlives its Forwarder (stuck where no limit reaches) still has it.
struct Forwarder::State {
  State(std::filesystem::path path, std::string server)
      : storePath(std::move(path)), uri(std::move(server)) {}

  const std::filesystem::path storePath;
  const std::string uri;
  WaitLimit limit;
  std::mutex mutex;
  std::condition_variable_any changed;
  bool pending = true;      // forward at start
  bool forwarding = false;  // a round is under way
  bool idle = false;        // the last round left nothing waiting
  bool lastFailed = false;
  bool ended = false;      // the thread has finished
  std::size_t rounds = 0;  // rounds finished
  std::optional<RecordsError> lastError;
  std::optional<std::size_t> waiting;  // after the last round
  std::vector<Rejection> refused;      // since the start
};

namespace {

struct Round {
  bool done = false;
  std::optional<std::size_t> waiting;
  std::optional<RecordsError> error;
  std::vector<Rejection> refused;
};

// Forwards what waits, on the thread's own store connection (SQLite lets it read and mark while
// the line writes) and its kept server link.
Round ForwardRound(const std::filesystem::path& storePath, const WaitLimit& limit, ServerLink& link,
                   std::unique_ptr<RecordStore>& store) {
  if (!store) {
    auto opened = RecordStore::Open(storePath, RecordStore::Mode::Write);
    if (!opened) {
      return {false, std::nullopt, opened.error(), {}};
    }
    store = std::move(*opened);
  }
  ForwardReport report = link.Forward(*store, limit);
  return {!report.failure, link.CountWaiting(*store), std::move(report.failure),
          std::move(report.refused)};
}

}  // namespace

void Forwarder::Run(State& state, const std::stop_token& stopping) {
  ServerLink link(state.uri);
  std::unique_ptr<RecordStore> store;
  milliseconds retry = kFirstRetry;
  bool failed = false;
  std::unique_lock lock(state.mutex);
  while (!stopping.stop_requested()) {
    const milliseconds pause =
        failed ? retry : std::chrono::duration_cast<milliseconds>(kQuietLook);
    // A round follows a wake, the end of the retry pause or the quiet hour; a stop ends it all.
    (void)state.changed.wait_for(lock, stopping, pause, [&] { return state.pending; });
    if (stopping.stop_requested()) {
      break;
    }
    state.pending = false;
    state.forwarding = true;
    lock.unlock();
    const Round round = ForwardRound(state.storePath, state.limit, link, store);
    lock.lock();
    state.forwarding = false;
    // The pause doubles with each failure in a row, and starts short again after a success.
    retry = round.done || !failed ? kFirstRetry : std::min(retry * 2, kLastRetry);
    failed = !round.done;
    state.idle = round.done && round.waiting == std::size_t{0} && !state.pending;
    state.lastFailed = failed;
    state.lastError = round.error;
    state.waiting = round.waiting;
    state.refused.insert(state.refused.end(), round.refused.begin(), round.refused.end());
    ++state.rounds;
    state.changed.notify_all();
  }
  lock.unlock();
  std::optional<std::size_t> waiting = store ? link.CountWaiting(*store) : std::nullopt;
  lock.lock();
  state.waiting = waiting;
  state.ended = true;
  state.changed.notify_all();
}

// An exception that leaves a round ends forwarding for this run, as a failure of the server
// would: the records wait in the store, and the run's end tells why.
void Forwarder::RunGuarded(const std::shared_ptr<State>& shared, const std::stop_token& stopping) {
  State& state = *shared;
  try {
    Run(state, stopping);
  } catch (const std::exception& error) {
    const std::lock_guard lock(state.mutex);
    state.lastError = RecordsError{std::string("forwarding failed: ") + error.what()};
    state.lastFailed = true;
    state.forwarding = false;
    state.ended = true;
    state.changed.notify_all();
  }
}

Forwarder::Forwarder(std::filesystem::path storePath, std::string uri)
    : m_state(std::make_shared<State>(std::move(storePath), std::move(uri))),
      m_thread([state = m_state](const std::stop_token& stopping) { RunGuarded(state, stopping); }) {
}

Forwarder::~Forwarder() {
  if (m_thread.joinable()) {
    Finish(kWindDown);
  }
}

void Forwarder::Wake() {
  {
    const std::lock_guard lock(m_state->mutex);
    m_state->pending = true;
    m_state->idle = false;
  }
  m_state->changed.notify_all();
}

std::optional<RecordsError> Forwarder::LastError() {
  const std::lock_guard lock(m_state->mutex);
  return m_state->lastError;
}

std::vector<Rejection> Forwarder::Refused() {
  const std::lock_guard lock(m_state->mutex);
  return m_state->refused;
}

std::optional<std::size_t> Forwarder::Finish(milliseconds patience, const std::stop_token& stop) {
  State& state = *m_state;
  const Clock::time_point end = Clock::now() + patience;
  std::unique_lock lock(state.mutex);
  if (!state.idle && !state.ended && Clock::now() < end - kWindDown) {
    state.limit.SetDeadline(end - kWindDown);
    // One more round now, whatever the back-off said; a round under way sees every record
    // committed before it, and a record committed since has asked for a round of its own.
    state.pending = state.pending || !state.forwarding;
    state.changed.notify_all();
    // A server that fails this round will not take the queue in the seconds left: the records
    // stay queued and the program ends without waiting them out.
    const std::size_t seen = state.rounds;
    const auto settled = [&] {
      return state.idle || state.ended || (state.rounds > seen && state.lastFailed);
    };
    (void)state.changed.wait_until(lock, stop, end - kWindDown, settled);
  }
  m_thread.request_stop();
  state.limit.Stop();  // a statement still waited for is cancelled now
  const Clock::time_point windDown =
      stop.stop_requested() ? std::min(end, Clock::now() + kWindDown) : end;
  const bool ended = state.changed.wait_until(lock, windDown, [&] { return state.ended; });
  if (!state.lastError) {
    state.lastError = RecordsError{state.limit.Why()};
  }
  if (ended) {
    const std::optional<std::size_t> waiting = state.waiting;
    lock.unlock();
    m_thread.join();
    return waiting;
  }
  lock.unlock();
  // The thread is inside a call that no limit reaches (a name lookup, a cancel over a dead
  // link). It ends with the process; the count comes from the store.
  m_thread.detach();
  auto store = RecordStore::Open(state.storePath, RecordStore::Mode::Read);
  return store ? ServerLink(state.uri).CountWaiting(**store) : std::nullopt;
}

}  // namespace lumaflash::records
