#include <algorithm>

#include "core/records/server.h"

namespace lumaflash::records {

namespace {

constexpr std::chrono::seconds kFirstRetry{1};
constexpr std::chrono::seconds kLastRetry{60};
// Without news the thread still looks once an hour, for records another run left behind.
constexpr std::chrono::hours kQuietLook{1};

}  // namespace

Forwarder::Forwarder(std::filesystem::path storePath, std::string uri)
    : m_storePath(std::move(storePath)), m_uri(std::move(uri)), m_thread([this] { Run(); }) {}

Forwarder::~Forwarder() {
  {
    const std::lock_guard lock(m_mutex);
    m_stopping = true;
  }
  m_changed.notify_all();
  if (m_thread.joinable()) {
    m_thread.join();
  }
}

void Forwarder::Wake() {
  {
    const std::lock_guard lock(m_mutex);
    m_pending = true;
    m_idle = false;
  }
  m_changed.notify_all();
}

std::string Forwarder::LastError() {
  const std::lock_guard lock(m_mutex);
  return m_lastError;
}

bool Forwarder::ForwardOnce(std::optional<std::size_t>& waiting) {
  // A connection of its own: SQLite lets it read and mark while the line writes.
  auto store = RecordStore::Open(m_storePath, RecordStore::Mode::Write);
  const ForwardReport report =
      store ? ForwardWaiting(**store, m_uri) : ForwardReport{0, store.error()};
  waiting = store ? (*store)->CountUnforwarded() : std::nullopt;
  const std::lock_guard lock(m_mutex);
  m_lastError = report.failure ? report.failure->message : std::string();
  return !report.failure;
}

void Forwarder::Run() {
  auto retry = std::chrono::duration_cast<std::chrono::milliseconds>(kFirstRetry);
  bool failed = false;
  std::unique_lock lock(m_mutex);
  while (!m_stopping) {
    const auto pause =
        failed ? retry : std::chrono::duration_cast<std::chrono::milliseconds>(kQuietLook);
    m_changed.wait_for(lock, pause, [this] { return m_pending || m_stopping; });
    if (m_stopping) {
      break;
    }
    m_pending = false;
    lock.unlock();
    std::optional<std::size_t> waiting;
    const bool done = ForwardOnce(waiting);
    lock.lock();
    // The pause doubles with each failure in a row, and starts short again after a success.
    const auto first = std::chrono::duration_cast<std::chrono::milliseconds>(kFirstRetry);
    const auto last = std::chrono::duration_cast<std::chrono::milliseconds>(kLastRetry);
    retry = done || !failed ? first : std::min(retry * 2, last);
    failed = !done;
    m_idle = done && waiting == std::size_t{0} && !m_pending;
    m_lastFailed = !done;
    ++m_rounds;
    m_changed.notify_all();
  }
}

std::optional<std::size_t> Forwarder::Finish(std::chrono::milliseconds patience) {
  {
    std::unique_lock lock(m_mutex);
    if (!m_idle) {
      m_pending = true;  // one more round now, whatever the back-off said
      m_changed.notify_all();
      // A server that refuses this round will not take the queue in the seconds left: the
      // records stay queued and the program ends without waiting them out.
      const std::size_t seen = m_rounds;
      m_changed.wait_for(lock, patience,
                         [this, seen] { return m_idle || (m_rounds > seen && m_lastFailed); });
    }
    m_stopping = true;
  }
  m_changed.notify_all();
  if (m_thread.joinable()) {
    m_thread.join();
  }
  auto store = RecordStore::Open(m_storePath, RecordStore::Mode::Read);
  return store ? (*store)->CountUnforwarded() : std::nullopt;
}

}  // namespace lumaflash::records
