#include "web/web_server.h"

#include <array>
#include <atomic>
#include <boost/asio.hpp>
#include <boost/beast/core.hpp>
#include <boost/beast/http.hpp>
#include <deque>
#include <list>
#include <map>
#include <optional>
#include <thread>

#include "web/access_guard.h"

namespace lumaflash::web {

namespace beast = boost::beast;
namespace http = beast::http;
namespace net = boost::asio;
using Tcp = net::ip::tcp;

namespace {

constexpr std::size_t kHeaderLimit = std::size_t{8} * 1024;
constexpr std::chrono::seconds kHeartbeat{15};
// Nothing but this server's own files runs or loads, and no other site may frame the view.
constexpr const char* kPolicy =
    "default-src 'none'; script-src 'self'; style-src 'self'; img-src 'self'; "
    "connect-src 'self'; frame-ancestors 'none'; base-uri 'none'; form-action 'self'";

// On Windows SO_REUSEADDR would let another program take the port from under us.
#ifdef _WIN32
constexpr bool kReuseAddress = false;
#else
constexpr bool kReuseAddress = true;
#endif

template <typename Fields>
void SetCommonHeaders(Fields& fields) {
  fields.set(http::field::server, "lumaflash");
  fields.set("Content-Security-Policy", kPolicy);
  fields.set("X-Content-Type-Options", "nosniff");
  fields.set("X-Frame-Options", "DENY");
  fields.set("Referrer-Policy", "no-referrer");
  fields.set("Cross-Origin-Resource-Policy", "same-origin");
  fields.set(http::field::cache_control, "no-store");
}

int64_t SystemNowMs() {
  return std::chrono::duration_cast<std::chrono::milliseconds>(
             std::chrono::system_clock::now().time_since_epoch())
      .count();
}

}  // namespace

class Session;

struct WebServer::Impl {
  explicit Impl(ServeSettings settingsIn)
      : settings(std::move(settingsIn)), acceptor(io), poll(io), heartbeat(io) {}

  void Accept();
  void PollChanges();
  void Beat();
  void Broadcast(const std::string& event);
  // Takes a live slot for `session`; false when all are taken.
  bool Enlist(const std::shared_ptr<Session>& session);
  void Discharge(const Session* session);
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
  net::io_context io{1};
  Tcp::acceptor acceptor;
  net::steady_timer poll;
  net::steady_timer heartbeat;
  net::thread_pool quickWorker{1};
  net::thread_pool heavyWorker{1};
  std::list<std::weak_ptr<Session>> live;
  std::atomic<std::size_t> liveCount{0};
  std::optional<int64_t> counter;  // the last change counter seen (io thread)
  std::thread thread;
  unsigned short port = 0;
};

// One connection: requests one after another, or, once it asked for /events, a live stream.
class Session : public std::enable_shared_from_this<Session> {
 public:
  Session(Tcp::socket socket, WebServer::Impl& server)
      : m_stream(std::move(socket)), m_server(server) {}

  void ReadRequest() {
    m_parser.emplace();
    m_parser->header_limit(kHeaderLimit);
    m_stream.expires_after(m_server.settings.timeout);
    http::async_read_header(m_stream, m_buffer, *m_parser,
                            beast::bind_front_handler(&Session::OnHeader, shared_from_this()));
  }

  // Sends one event to a live stream; events wait their turn behind a write in progress.
  void Push(const std::string& event) {
    m_events.push_back(event);
    if (m_events.size() == 1) {
      WriteEvent();
    }
  }

  void Close() {
    beast::error_code ignored;
    m_stream.socket().shutdown(Tcp::socket::shutdown_both, ignored);
    m_stream.close();
  }

 private:
  void OnHeader(beast::error_code error, std::size_t /*bytes*/) {
    if (error) {
      // A header too large or malformed gets an answer; a closed or silent peer does not.
      if (error != http::error::end_of_stream && error != beast::error::timeout &&
          error != net::error::eof && error != net::error::operation_aborted &&
          error != net::error::connection_reset) {
        Send(TextResponse(400, "The request could not be read: " + error.message() + "."), false,
             false);
      }
      return;
    }
    const auto& header = m_parser->get();
    Request request;
    request.method = std::string(header.method_string());
    request.target = std::string(header.target());
    request.host = std::string(header[http::field::host]);
    request.cookie = std::string(header[http::field::cookie]);
    const auto length = m_parser->content_length();
    request.hasBody = m_parser->chunked() || (length && *length > 0);
    const bool head = request.method == "HEAD";
    // A body is never read, so the connection cannot be used again after one was sent.
    const bool keepAlive = header.keep_alive() && !request.hasBody;
    if (auto refused = m_server.guard->Check(request)) {
      Send(std::move(*refused), head, keepAlive);
      return;
    }
    const std::string path = TargetPath(request.target);
    if (auto answer = StaticAnswer(path)) {
      Send(std::move(*answer), head, keepAlive);
    } else if (path == "/events") {
      StartLive(keepAlive);
    } else if (IsDataPath(path)) {
      AskWorker(request.target, head, keepAlive);
    } else {
      Send(TextResponse(404, "There is nothing at " + path + "; the view starts at /."), head,
           keepAlive);
    }
  }

  // The records are asked on a worker thread; the answer is written back on this one.
  void AskWorker(std::string target, bool head, bool keepAlive) {
    const bool quick = IsQuickPath(TargetPath(target));
    net::post(quick ? m_server.quickWorker : m_server.heavyWorker,
              [self = shared_from_this(), target = std::move(target), head, keepAlive, quick,
               seen = m_server.counter] {
                Response answer = self->m_server.Answer(target, quick, seen);
                net::post(self->m_server.io,
                          [self, answer = std::move(answer), head, keepAlive]() mutable {
                            self->Send(std::move(answer), head, keepAlive);
                          });
              });
  }

  void Send(Response answer, bool head, bool keepAlive) {
    auto response = std::make_shared<http::response<http::string_body>>(
        static_cast<http::status>(answer.status), 11);
    SetCommonHeaders(*response);
    if (!answer.contentType.empty()) {
      response->set(http::field::content_type, answer.contentType);
    }
    for (const auto& [name, value] : answer.headers) {
      response->set(name, value);
    }
    response->body() = std::move(answer.body);
    response->keep_alive(keepAlive);
    response->prepare_payload();
    m_stream.expires_after(m_server.settings.timeout);
    auto done = [self = shared_from_this(), response, keepAlive](beast::error_code error,
                                                                 std::size_t /*bytes*/) {
      self->OnSent(error, keepAlive);
    };
    if (head) {
      // The header says how long the body would be; the body itself stays home.
      auto serializer = std::make_shared<http::response_serializer<http::string_body>>(*response);
      http::async_write_header(
          m_stream, *serializer,
          [serializer, done](beast::error_code error, std::size_t bytes) { done(error, bytes); });
    } else {
      http::async_write(m_stream, *response, done);
    }
  }

  void OnSent(beast::error_code error, bool keepAlive) {
    if (error || !keepAlive) {
      Close();
      return;
    }
    ReadRequest();
  }

  void StartLive(bool keepAlive) {
    if (!m_server.Enlist(shared_from_this())) {
      Send(TextResponse(503,
                        "Every live slot of this view is taken; the page asks every 5 s "
                        "instead."),
           false, keepAlive);
      return;
    }
    http::response<http::empty_body> header{http::status::ok, 11};
    SetCommonHeaders(header);
    header.set(http::field::content_type, "text/event-stream");
    // The body runs until one side closes, so it has neither a length nor chunks.
    std::string first = "HTTP/1.1 200 OK\r\n";
    for (const auto& field : header) {
      first += std::string(field.name_string()) + ": " + std::string(field.value()) + "\r\n";
    }
    first += "\r\nretry: 3000\n\n";
    if (m_server.counter) {
      first += "data: " + std::to_string(*m_server.counter) + "\n\n";
    }
    m_stream.expires_never();
    Push(first);
    WatchForClose();
  }

  // A live stream sends nothing; a read ends when the tab closes, which frees the slot at once.
  void WatchForClose() {
    m_stream.async_read_some(
        net::buffer(m_discard),
        [self = shared_from_this()](beast::error_code error, std::size_t /*bytes*/) {
          if (error) {
            self->m_server.Discharge(self.get());
            self->Close();
            return;
          }
          self->WatchForClose();
        });
  }

  void WriteEvent() {
    m_stream.expires_after(m_server.settings.timeout);
    net::async_write(m_stream, net::buffer(m_events.front()),
                     [self = shared_from_this()](beast::error_code error, std::size_t /*bytes*/) {
                       if (error) {
                         self->m_server.Discharge(self.get());
                         self->Close();
                         return;
                       }
                       self->m_stream.expires_never();
                       self->m_events.pop_front();
                       if (!self->m_events.empty()) {
                         self->WriteEvent();
                       }
                     });
  }

  beast::tcp_stream m_stream;
  beast::flat_buffer m_buffer;
  std::optional<http::request_parser<http::empty_body>> m_parser;
  WebServer::Impl& m_server;
  std::deque<std::string> m_events;
  std::array<char, 512> m_discard{};
};

Response WebServer::Impl::Answer(const std::string& target, bool quick,
                                 std::optional<int64_t> seen) {
  constexpr int64_t kDayMs = 24LL * 60 * 60 * 1000;
  constexpr std::size_t kMostKept = 256;
  const ViewMoment moment{settings.nowMs ? settings.nowMs() : SystemNowMs(), liveCount.load(),
                          settings.maxLive};
  if (quick) {
    return DataAnswer(target, *quickQuestions, settings.source, moment);
  }
  // Many wall screens showing one view cost one summary per change of the records. The status
  // line tells the time and the live slots, so it is always made afresh.
  const bool keep = seen && TargetPath(target) != "/api/status.json";
  const std::pair<int64_t, int64_t> when{seen.value_or(0), moment.nowMs / kDayMs};
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
      std::make_shared<Session>(std::move(socket), *this)->ReadRequest();
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
      auto asked = quickQuestions->ChangeCounter();
      net::post(io, [this, asked = std::move(asked)] {
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

bool WebServer::Impl::Enlist(const std::shared_ptr<Session>& session) {
  if (live.size() >= settings.maxLive) {
    return false;
  }
  live.push_back(session);
  liveCount = live.size();
  return true;
}

void WebServer::Impl::Discharge(const Session* session) {
  live.remove_if([session](const std::weak_ptr<Session>& weak) {
    auto locked = weak.lock();
    return !locked || locked.get() == session;
  });
  liveCount = live.size();
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
  impl->thread = std::thread([running] { running->io.run(); });
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
