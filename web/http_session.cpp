#include "web/http_session.h"

#include <exception>
#include <utility>

#include "web/routes.h"
#include "web/web_server_impl.h"

namespace lumaflash::web {

namespace beast = boost::beast;
namespace http = beast::http;
namespace net = boost::asio;

namespace {

constexpr std::size_t kHeaderLimit = std::size_t{8} * 1024;
// Nothing but this server's own files runs or loads, and no other site may frame the view.
constexpr const char* kPolicy =
    "default-src 'none'; script-src 'self'; style-src 'self'; img-src 'self'; "
    "connect-src 'self'; frame-ancestors 'none'; base-uri 'none'; form-action 'self'";

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

// A closed or silent peer gets no answer; a header too large or malformed does.
bool Unanswerable(beast::error_code error) {
  return error == http::error::end_of_stream || error == beast::error::timeout ||
         error == net::error::eof || error == net::error::operation_aborted ||
         error == net::error::connection_reset;
}

Request RequestOf(const http::request_parser<http::empty_body>& parser) {
  const auto& header = parser.get();
  Request request;
  request.method = std::string(header.method_string());
  request.target = std::string(header.target());
  request.host = std::string(header[http::field::host]);
  request.cookie = std::string(header[http::field::cookie]);
  const auto length = parser.content_length();
  request.hasBody = parser.chunked() || (length && *length > 0);
  return request;
}

// On a worker thread: a question that throws costs its own answer, not the program.
Response AnswerOrFail(WebServer::Impl& server, const std::string& target, bool quick,
                      std::optional<int64_t> seen) {
  try {
    return server.Answer(target, quick, seen);
  } catch (const std::exception& error) {
    return TextResponse(500, std::string("The records could not be asked (") + error.what() +
                                 "). Try again; if it stays, restart the view.");
  }
}

}  // namespace

HttpSession::HttpSession(net::ip::tcp::socket socket, WebServer::Impl& server)
    : m_stream(std::move(socket)), m_server(server) {}

void HttpSession::ReadRequest() {
  m_parser.emplace();
  m_parser->header_limit(kHeaderLimit);
  m_stream.expires_after(m_server.settings.timeout);
  http::async_read_header(m_stream, m_buffer, *m_parser,
                          beast::bind_front_handler(&HttpSession::OnHeader, shared_from_this()));
}

void HttpSession::Push(const std::string& event) {
  m_events.push_back(event);
  if (m_events.size() == 1) {
    WriteEvent();
  }
}

void HttpSession::Close() {
  beast::error_code ignored;
  m_stream.socket().shutdown(net::ip::tcp::socket::shutdown_both, ignored);
  m_stream.close();
}

void HttpSession::OnHeader(beast::error_code error, std::size_t /*bytes*/) {
  if (error) {
    if (!Unanswerable(error)) {
      Send(TextResponse(400, "The request could not be read: " + error.message() + "."), false,
           false);
    }
    return;
  }
  const Request request = RequestOf(*m_parser);
  const bool head = request.method == "HEAD";
  // A body is never read, so the connection cannot be used again after one was sent.
  const bool keepAlive = m_parser->get().keep_alive() && !request.hasBody;
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

void HttpSession::AskWorker(std::string target, bool head, bool keepAlive) {
  const bool quick = IsQuickPath(TargetPath(target));
  net::post(quick ? m_server.quickWorker : m_server.heavyWorker,
            [self = shared_from_this(), target = std::move(target), head, keepAlive, quick,
             seen = m_server.counter] {
              Response answer = AnswerOrFail(self->m_server, target, quick, seen);
              net::post(self->m_server.io,
                        [self, answer = std::move(answer), head, keepAlive]() mutable {
                          self->Send(std::move(answer), head, keepAlive);
                        });
            });
}

void HttpSession::Send(Response answer, bool head, bool keepAlive) {
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

void HttpSession::OnSent(beast::error_code error, bool keepAlive) {
  if (error || !keepAlive) {
    Close();
    return;
  }
  ReadRequest();
}

void HttpSession::StartLive(bool keepAlive) {
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

void HttpSession::WatchForClose() {
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

void HttpSession::WriteEvent() {
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

}  // namespace lumaflash::web
