#include "web/web_server.h"

#include <boost/beast/core.hpp>
#include <exception>

#include "web/http_session.h"
#include "web/web_server_impl.h"

namespace lumaflash::web {

namespace beast = boost::beast;
namespace http = beast::http;
namespace net = boost::asio;
using Tcp = net::ip::tcp;

namespace {

constexpr std::chrono::seconds kHeartbeat{15};

// On Windows SO_REUSEADDR would let another program take the port from under us.
#ifdef _WIN32
constexpr bool kReuseAddress = false;
#else
constexpr bool kReuseAddress = true;
#endif

// On the quick worker: a question that fails or throws is asked again at the next poll.
std::optional<int64_t> AskChangeCounter(records::RecordQuestions& questions) {
  try {
    const auto asked = questions.ChangeCounter();
    return asked ? std::optional<int64_t>(*asked) : std::nullopt;
  } catch (const std::exception&) {
    return std::nullopt;
  }
}

int64_t SystemNowMs() {
  return std::chrono::duration_cast<std::chrono::milliseconds>(
             std::chrono::system_clock::now().time_since_epoch())
      .count();
}

}  // namespace

Response WebServer::Impl::Answer(const std::string& target, bool quick,
                                 std::optional<int64_t> seen) {
  constexpr std::size_t kMostKept = 256;
  const ViewMoment moment{settings.nowMs ? settings.nowMs() : SystemNowMs(), liveCount.load(),
                          settings.maxLive};
  if (quick) {
    return DataAnswer(target, *quickQuestions, settings.source, moment);
  }
  // Many wall screens showing one view cost one summary per change of the records. The status
  // line tells the time and the live slots, so it is always made afresh.
  const bool keep = seen && TargetPath(target) != "/api/status.json";
  const std::pair<int64_t, int64_t> when{seen.value_or(0),
                                         settings.source.zone.LocalDay(moment.nowMs)};
  if (auto found = kept.find(target); keep && found != kept.end() && found->second.first == when) {
    return found->second.second;
  }
  Response answer = DataAnswer(target, *heavyQuestions, settings.source, moment);
  if (keep && answer.status == 200) {
    if (kept.size() >= kMostKept) {
      kept.clear();
    }
    kept[target] = {when, answer};
  }
  return answer;
}

void WebServer::Impl::Accept() {
  acceptor.async_accept([this](beast::error_code error, Tcp::socket socket) {
    if (error == net::error::operation_aborted) {
      return;
    }
    if (!error) {
      std::make_shared<HttpSession>(std::move(socket), *this)->ReadRequest();
    }
    Accept();
  });
}

void WebServer::Impl::PollChanges() {
  poll.expires_after(settings.changePoll);
  poll.async_wait([this](beast::error_code error) {
    if (error) {
      return;
    }
    net::post(quickWorker, [this] {
      const std::optional<int64_t> asked = AskChangeCounter(*quickQuestions);
      net::post(io, [this, asked] {
        if (asked && (!counter || *counter != *asked)) {
          counter = *asked;
          Broadcast("data: " + std::to_string(*asked) + "\n\n");
        }
        PollChanges();
      });
    });
  });
}

void WebServer::Impl::Beat() {
  heartbeat.expires_after(kHeartbeat);
  heartbeat.async_wait([this](beast::error_code error) {
    if (!error) {
      Broadcast(": still here\n\n");
      Beat();
    }
  });
}

void WebServer::Impl::Broadcast(const std::string& event) {
  for (const auto& weak : live) {
    if (auto session = weak.lock()) {
      session->Push(event);
    }
  }
}

bool WebServer::Impl::Enlist(const std::shared_ptr<HttpSession>& session) {
  if (live.size() >= settings.maxLive) {
    return false;
  }
  live.push_back(session);
  liveCount = live.size();
  return true;
}

void WebServer::Impl::Discharge(const HttpSession* session) {
  live.remove_if([session](const std::weak_ptr<HttpSession>& weak) {
    auto locked = weak.lock();
    return !locked || locked.get() == session;
  });
  liveCount = live.size();
}

void WebServer::Impl::RunIo() {
  // A handler that throws ends only what it was doing (one connection's step); the rest of the
  // view goes on.
  for (;;) {
    try {
      io.run();
      return;
    } catch (const std::exception&) {
      continue;
    }
  }
}

void WebServer::Impl::Stop() {
  quickWorker.stop();
  heavyWorker.stop();
  quickWorker.join();
  heavyWorker.join();
  net::post(io, [this] {
    beast::error_code ignored;
    acceptor.close(ignored);
    poll.cancel();
    heartbeat.cancel();
    for (const auto& weak : live) {
      if (auto session = weak.lock()) {
        session->Close();
      }
    }
    live.clear();
    io.stop();
  });
  if (thread.joinable()) {
    thread.join();
  }
}

Expected<std::unique_ptr<WebServer>, WebError> WebServer::Start(ServeSettings settings,
                                                                const QuestionsOpener& open) {
  const std::string where = settings.address + ":" + std::to_string(settings.port);
  if (!IsLoopbackAddress(settings.address) && settings.token.empty()) {
    return MakeUnexpected(
        WebError{"will not serve the records on " + settings.address +
                 " without an access token: beyond this machine every client must give one. Name a "
                 "file that holds it with --token-file FILE, or listen on 127.0.0.1"});
  }
  auto impl = std::make_unique<Impl>(std::move(settings));
  for (auto* questions : {&impl->quickQuestions, &impl->heavyQuestions}) {
    auto opened = open();
    if (!opened) {
      return MakeUnexpected(WebError{records::Describe(opened.error())});
    }
    *questions = std::move(*opened);
  }
  beast::error_code error;
  const net::ip::address address = net::ip::make_address(impl->settings.address, error);
  if (error) {
    return MakeUnexpected(WebError{"\"" + impl->settings.address +
                                   "\" is not an IP address to listen on; give one such as "
                                   "127.0.0.1 or ::1 in --listen ADDR:PORT"});
  }
  const Tcp::endpoint endpoint(address, impl->settings.port);
  Tcp::acceptor& acceptor = impl->acceptor;
  acceptor.open(endpoint.protocol(), error);
  if (!error) {
    acceptor.set_option(net::socket_base::reuse_address(kReuseAddress), error);
  }
  if (!error) {
    acceptor.bind(endpoint, error);
  }
  if (!error) {
    acceptor.listen(net::socket_base::max_listen_connections, error);
  }
  if (!error) {
    impl->port = acceptor.local_endpoint(error).port();
  }
  if (error) {
    return MakeUnexpected(WebError{"cannot listen on " + where + ": " + error.message() +
                                   ". Stop what holds that port, or pick another with --listen "
                                   "ADDR:PORT (port 0 picks a free one)"});
  }
  impl->guard.emplace(AcceptedHosts(impl->settings.address, impl->port, impl->settings.hostNames),
                      impl->settings.token);
  impl->Accept();
  impl->PollChanges();
  impl->Beat();
  Impl* running = impl.get();
  impl->thread = std::jthread([running] { running->RunIo(); });
  return std::unique_ptr<WebServer>(new WebServer(std::move(impl)));
}

WebServer::WebServer(std::unique_ptr<Impl> impl) : m_impl(std::move(impl)) {}

WebServer::~WebServer() {
  try {
    m_impl->Stop();
  } catch (const std::exception&) {
    // Stopping only fails when threads cannot be joined; the process is ending then anyway.
  }
}

unsigned short WebServer::Port() const {
  return m_impl->port;
}

std::string WebServer::Url() const {
  const std::string& address = m_impl->settings.address;
  const bool v6 = address.find(':') != std::string::npos;
  return "http://" + (v6 ? "[" + address + "]" : address) + ":" + std::to_string(m_impl->port) +
         "/";
}

std::size_t WebServer::LiveClients() const {
  return m_impl->liveCount;
}

}  // namespace lumaflash::web
