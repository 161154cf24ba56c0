#pragma once

#include <array>
#include <boost/asio.hpp>
#include <boost/beast/core.hpp>
#include <boost/beast/http.hpp>
#include <cstddef>
#include <deque>
#include <memory>
#include <optional>
#include <string>

#include "web/http_types.h"
#include "web/web_server.h"

namespace lumaflash::web {

// One connection to the web view: requests one after another, or, once it asked for /events,
// a live stream. It lives as long as a handler of the server's I/O thread holds it.
class HttpSession : public std::enable_shared_from_this<HttpSession> {
 public:
  HttpSession(boost::asio::ip::tcp::socket socket, WebServer::Impl& server);

  // Reads the next request and answers it.
  void ReadRequest();
  // Sends one event to a live stream; events wait their turn behind a write in progress.
  void Push(const std::string& event);
  void Close();

 private:
  void OnHeader(boost::beast::error_code error, std::size_t bytes);
  // The records are asked on a worker thread; the answer is written back on the I/O thread.
  void AskWorker(std::string target, bool head, bool keepAlive);
  void Send(Response answer, bool head, bool keepAlive);
  void OnSent(boost::beast::error_code error, bool keepAlive);
  void StartLive(bool keepAlive);
  // A live stream sends nothing; a read ends when the tab closes, which frees the slot at once.
  void WatchForClose();
  void WriteEvent();

  boost::beast::tcp_stream m_stream;
  boost::beast::flat_buffer m_buffer;
  std::optional<boost::beast::http::request_parser<boost::beast::http::empty_body>> m_parser;
  WebServer::Impl& m_server;
  std::deque<std::string> m_events;
  std::array<char, 512> m_discard{};
};

}  // namespace lumaflash::web
