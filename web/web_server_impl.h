#pragma once

// What the parts of the web server share: its settings, the I/O thread's objects, the two
// workers that ask the records, and the live streams.
#include <atomic>
#include <boost/asio.hpp>
#include <cstddef>
#include <cstdint>
#include <list>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <utility>

#include "core/records/questions.h"
#include "web/access_guard.h"
#include "web/http_types.h"
#include "web/web_server.h"

namespace lumaflash::web {

class HttpSession;

struct WebServer::Impl {
  explicit Impl(ServeSettings settingsIn)
      : settings(std::move(settingsIn)), acceptor(io), poll(io), heartbeat(io) {}

  void Accept();
  void PollChanges();
  void Beat();
  void Broadcast(const std::string& event);
  // Takes a live slot for `session`; false when all are taken.
  bool Enlist(const std::shared_ptr<HttpSession>& session);
  void Discharge(const HttpSession* session);
  // Runs the I/O thread's handlers until Stop().
  void RunIo();
  void Stop();
  // The answer to a data request; the summaries' answers are kept until the records change.
  Response Answer(const std::string& target, bool quick, std::optional<int64_t> seen);

  ServeSettings settings;
  // Each used on its own worker thread only.
  std::unique_ptr<records::RecordQuestions> quickQuestions;
  std::unique_ptr<records::RecordQuestions> heavyQuestions;
  // Heavy answers by target, with the change counter and the day they were made at (heavy
  // worker only).
  std::map<std::string, std::pair<std::pair<int64_t, int64_t>, Response>> kept;
  std::optional<AccessGuard> guard;
  boost::asio::io_context io{1};
  boost::asio::ip::tcp::acceptor acceptor;
  boost::asio::steady_timer poll;
  boost::asio::steady_timer heartbeat;
  boost::asio::thread_pool quickWorker{1};
  boost::asio::thread_pool heavyWorker{1};
  std::list<std::weak_ptr<HttpSession>> live;
  std::atomic<std::size_t> liveCount{0};
  std::optional<int64_t> counter;  // the last change counter seen (io thread)
  std::jthread thread;
  unsigned short port = 0;
};

}  // namespace lumaflash::web
