#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "core/platform/expected.h"
#include "core/records/questions.h"
#include "web/routes.h"

namespace lumaflash::web {

struct ServeSettings {
  std::string address = "127.0.0.1";   // a numeric IPv4 or IPv6 address
  unsigned short port = 8470;          // 0: any free port
  std::string token;                   // required from every client when not empty
  std::vector<std::string> hostNames;  // further names the Host header may give
  std::size_t maxLive = 16;            // live event streams at once; later pages ask every 5 s
  ViewSource source;
  std::chrono::milliseconds changePoll{250};  // how often the change counter is asked
  std::chrono::seconds timeout{10};           // to read a request, and to write each answer
  std::function<int64_t()> nowMs;             // the clock the views count days from
};

// Why the view could not be served: one sentence with the address, the reason and the fix.
struct WebError {
  std::string message;
};

// Opens one more way of asking the records (a connection of its own).
using QuestionsOpener =
    std::function<records::RecordsResult<std::unique_ptr<records::RecordQuestions>>()>;

// The read-only web view of a store of records: one thread answers every connection without
// blocking; the records are asked on two more, each with a connection of its own: one for the
// quick questions (the last attempts, a unit, the change counter), one for the summaries, so a
// long summary never holds up the page, its files, the live streams or the newest attempts.
// It runs from Start() until it is destroyed.
class WebServer {
 public:
  // Listens on the settings' address and port and starts answering. Beyond a loopback address
  // a token is required, and without one nothing listens.
  static Expected<std::unique_ptr<WebServer>, WebError> Start(ServeSettings settings,
                                                              const QuestionsOpener& open);
  ~WebServer();
  WebServer(const WebServer&) = delete;
  WebServer& operator=(const WebServer&) = delete;

  unsigned short Port() const;
  // "http://127.0.0.1:8470/", the address to open.
  std::string Url() const;
  // How many live event streams are open now.
  std::size_t LiveClients() const;

  struct Impl;

 private:
  explicit WebServer(std::unique_ptr<Impl> impl);
  std::unique_ptr<Impl> m_impl;
};

}  // namespace lumaflash::web
