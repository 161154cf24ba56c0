// The web view's answers through a real server on port 0: status, headers, escaping of hostile
// text, paging limits, the token and Host checks, and the geometry of the plots.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <mutex>
#include <string>
#include <vector>

#include "core/platform/time_zone.h"
#include "core/records/record_fields.h"
#include "tests/support/sim_devices.h"
#include "tests/support/wait_for.h"
#include "web/web_server.h"

namespace lumaflash::web {
namespace {

using records::FailureRow;
using records::Record;
using records::SummaryRow;
using testing::Has;
using testing::PrintTo;

constexpr const char* kHostile = "<img src=x onerror=alert(1)>";
constexpr const char* kToken = "good-token-0123456789";

Record Attempt(std::string serial, std::string result, int64_t startedAtMs) {
  Record record;
  record.id = "id-" + serial + "-" + std::to_string(startedAtMs);
  record.startedAtMs = startedAtMs;
  record.endedAtMs = startedAtMs + 1000;
  record.station = kHostile;
  record.port = "/dev/pts/7";
  record.serial = std::move(serial);
  record.deviceId = "3514";
  record.deviceName = "Lumetta A";
  record.imagePath = std::string("/images/") + kHostile + ".bin";
  record.result = std::move(result);
  return record;
}

// What the view asked for its last summary: the zone of the days and the first moment.
struct Asked {
  std::mutex mutex;
  std::string timeZone;
  std::optional<int64_t> sinceMs;
};

// A store with fixed answers, so that every number the server writes can be checked.
class FixedQuestions : public records::RecordQuestions {
 public:
  records::RecordsResult<std::vector<SummaryRow>> Summary(
      const records::SummaryQuery& query) override {
    if (asked) {
      const std::lock_guard lock(asked->mutex);
      asked->timeZone = query.timeZone;
      asked->sinceMs = query.filter.sinceMs;
    }
    SummaryRow first;
    first.day = "2026-12-07";
    first.station = kHostile;
    first.deviceId = "3514";
    first.deviceName = "Lumetta A";
    first.attempts = 5;
    first.unitsAttempted = 4;
    first.unitsUpdated = 4;
    first.firstPassUnits = 3;
    first.failures = 1;
    SummaryRow second = first;
    second.day = "2026-12-08";
    second.unitsAttempted = 2;
    second.firstPassUnits = 2;
    return std::vector{second, first};
  }
  records::RecordsResult<std::vector<FailureRow>> Failures(const records::RecordFilter&) override {
    return std::vector<FailureRow>{{"3514", kHostile, "write-failed", 17, 2},
                                   {"3514", kHostile, "interrupted", std::nullopt, 4}};
  }
  records::RecordsResult<void> List(const records::RecordFilter& filter, std::size_t limit,
                                    std::size_t offset,
                                    const std::function<bool(const Record&)>& each) override {
    std::vector<Record> all{Attempt("AB0001", "ok", 3000), Attempt(kHostile, "write-failed", 2000),
                            Attempt("AB0001", "write-failed", 1000)};
    for (std::size_t i = offset; i < all.size() && (limit == 0 || i < offset + limit); ++i) {
      if ((!filter.serial || all[i].serial == filter.serial) && !filter.usbSerial) {
        each(all[i]);
      }
    }
    return {};
  }
  records::RecordsResult<std::vector<records::StationRow>> Stations() override {
    return std::vector<records::StationRow>{{kHostile, 3000, std::nullopt, 2, 1000}};
  }
  records::RecordsResult<int64_t> ChangeCounter() override { return counter->load(); }

  std::shared_ptr<std::atomic<int64_t>> counter = std::make_shared<std::atomic<int64_t>>(1);
  std::shared_ptr<Asked> asked;
};

// Opens questions that share one change counter (and, when given, one record of what was asked).
QuestionsOpener Fixed(std::shared_ptr<std::atomic<int64_t>> counter = {},
                      std::shared_ptr<Asked> asked = {}) {
  return [counter, asked]() -> records::RecordsResult<std::unique_ptr<records::RecordQuestions>> {
    auto questions = std::make_unique<FixedQuestions>();
    if (counter) {
      questions->counter = counter;
    }
    questions->asked = asked;
    return std::unique_ptr<records::RecordQuestions>(std::move(questions));
  };
}

struct Answer {
  int status = 0;
  std::string head;  // the status line and headers
  std::string body;
};

// A connection to the server on `port` that has sent `request`; -1 when it could not.
int Send(unsigned short port, const std::string& request) {
  const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(port);
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
      ::send(fd, request.data(), request.size(), MSG_NOSIGNAL) < 0) {
    ::close(fd);
    return -1;
  }
  return fd;
}

// One request over a fresh connection, read until the server closes it.
Answer Ask(unsigned short port, const std::string& request) {
  Answer answer;
  const int fd = Send(port, request);
  if (fd < 0) {
    return answer;
  }
  std::string text;
  char buffer[4096];
  for (ssize_t got; (got = ::recv(fd, buffer, sizeof buffer, 0)) > 0;) {
    text.append(buffer, static_cast<std::size_t>(got));
  }
  ::close(fd);
  const std::size_t split = text.find("\r\n\r\n");
  answer.head = text.substr(0, split);
  answer.body = split == std::string::npos ? "" : text.substr(split + 4);
  if (text.size() > 12) {
    answer.status = std::stoi(text.substr(9, 3));
  }
  return answer;
}

struct Row {
  const char* name;
  std::string method = "GET";
  std::string target = "/";
  std::string extraHeaders{};  // whole lines, each ending in \r\n
  bool tokenServer = false;
  int status = 200;
  std::vector<std::string> headHas{};
  std::vector<std::string> bodyHas{};
  std::vector<std::string> bodyLacks{};
  std::string host{};  // empty: the server's own address; {port} stands for its port
};

class WebAnswers : public ::testing::TestWithParam<Row> {
 protected:
  static void SetUpTestSuite() {
    for (bool token : {false, true}) {
      ServeSettings settings;
      settings.port = 0;
      settings.token = token ? kToken : "";
      settings.source.description = "the records of test";
      settings.source.localStore = true;
      settings.nowMs = [] { return int64_t{5000}; };
      auto server = WebServer::Start(std::move(settings), Fixed());
      ASSERT_TRUE(server) << server.error().message;
      (token ? tokenServer : plainServer) = std::move(*server);
    }
  }
  static void TearDownTestSuite() {
    plainServer.reset();
    tokenServer.reset();
  }
  static inline std::unique_ptr<WebServer> plainServer, tokenServer;
};

TEST_P(WebAnswers, Answer) {
  const Row& row = GetParam();
  const WebServer& server = row.tokenServer ? *tokenServer : *plainServer;
  std::string host = row.host.empty() ? "127.0.0.1:{port}" : row.host;
  if (const std::size_t at = host.find("{port}"); at != std::string::npos) {
    host.replace(at, 6, std::to_string(server.Port()));
  }
  const Answer answer =
      Ask(server.Port(), row.method + " " + row.target + " HTTP/1.1\r\nHost: " + host +
                             "\r\nConnection: close\r\n" + row.extraHeaders + "\r\n");
  EXPECT_EQ(answer.status, row.status) << answer.head << "\n" << answer.body;
  for (const std::string& part : row.headHas) {
    EXPECT_TRUE(Has(answer.head, part)) << part << " not in\n" << answer.head;
  }
  for (const std::string& part : row.bodyHas) {
    EXPECT_TRUE(Has(answer.body, part)) << part << " not in\n" << answer.body;
  }
  for (const std::string& part : row.bodyLacks) {
    EXPECT_FALSE(Has(answer.body, part)) << part << " in\n" << answer.body;
  }
}

std::string RecordKeys() {
  std::string keys;
  for (const auto& field : records::kRecordFields) {
    keys += (keys.empty() ? "" : ",") + std::string(field.key);
  }
  return keys;
}

const std::string kCsp =
    "Content-Security-Policy: default-src 'none'; script-src 'self'; "
    "style-src 'self'; img-src 'self'; connect-src 'self'; "
    "frame-ancestors 'none'";

INSTANTIATE_TEST_SUITE_P(
    Rows, WebAnswers,
    ::testing::Values(
        Row{.name = "page_with_its_policy",
            .headHas = {kCsp, "X-Content-Type-Options: nosniff", "text/html"},
            .bodyHas = {"<script src=\"/assets/page.js\" defer>", "id=\"attempts-table\""},
            .bodyLacks = {"<script>", "onclick", "style=\""}},
        Row{.name = "head_has_the_length_and_no_body",
            .method = "HEAD",
            .headHas = {"Content-Length: "},
            .bodyLacks = {"<"}},
        Row{.name = "post_is_refused",
            .method = "POST",
            .status = 405,
            .headHas = {"Allow: GET, HEAD"},
            .bodyHas = {"read-only"}},
        Row{.name = "delete_is_refused",
            .method = "DELETE",
            .target = "/api/attempts.json",
            .status = 405},
        Row{.name = "a_body_is_refused", .extraHeaders = "Content-Length: 5\r\n", .status = 413},
        Row{.name = "another_host_is_refused",
            .status = 421,
            .bodyHas = {"--host-name"},
            .host = "rebound.example:80"},
        Row{.name = "localhost_is_this_host", .host = "LOCALHOST:{port}"},
        Row{.name = "script_and_style",
            .target = "/assets/page.js",
            .headHas = {"text/javascript"},
            .bodyHas = {"textContent"},
            .bodyLacks = {"innerHTML", "insertAdjacentHTML", "eval("}},
        Row{.name = "nothing_else", .target = "/etc/passwd", .status = 404},
        Row{.name = "attempts_json_escapes",
            .target = "/api/attempts.json",
            .headHas = {"application/json", "X-Content-Type-Options: nosniff"},
            .bodyHas = {"\"station\":\"\\u003cimg src=x onerror=alert(1)\\u003e\"",
                        "\"serial\":\"AB0001\"", "\"startedAt\":\"1970-01-01T00:00:03.000Z\""},
            .bodyLacks = {"<img"}},
        Row{.name = "attempts_csv_has_the_record_columns",
            .target = "/api/attempts.csv",
            .headHas = {"text/csv", "attachment; filename=\"lumaflash-attempts.csv\""},
            .bodyHas = {RecordKeys() + "\n", ",write-failed,"}},
        Row{.name = "attempts_page",
            .target = "/api/attempts.json?limit=1&offset=1",
            .bodyHas = {"\"result\":\"write-failed\""},
            .bodyLacks = {"\"result\":\"ok\"", "},"}},
        Row{.name = "no_list_beyond_the_limit",
            .target = "/api/attempts.json?limit=501",
            .status = 400,
            .bodyHas = {"limit takes a number of rows from 1 to 500"}},
        Row{.name = "bad_days",
            .target = "/api/days.json?days=week",
            .status = 400,
            .bodyHas = {"days takes"}},
        Row{.name = "bad_result",
            .target = "/api/days.json?result=ok%3Cb%3E",
            .status = 400,
            .bodyHas = {"result takes one word"}},
        Row{.name = "bad_type",
            .target = "/api/failures.json?type=%3Cb%3E",
            .status = 400,
            .headHas = {"text/plain", "nosniff"},
            .bodyHas = {"type takes"}},
        Row{.name = "unit_by_serial_in_any_spelling",
            .target = "/api/unit.json?unit=ab+00+01",
            .bodyHas = {"\"serial\":\"AB0001\",", "\"result\":\"write-failed\""},
            .bodyLacks = {"\\u003cimg src=x onerror=alert(1)\\u003e\",\"image\""}},
        Row{.name = "days_table_with_yield",
            .target = "/api/days.csv",
            .bodyHas = {"day,attempts,unitsUpdated,failures,unitsAttempted,firstPassUnits,"
                        "firstPassYield\n2026-12-08,5,4,1,2,2,100.0\n2026-12-07,5,4,1,4,3,75.0\n"}},
        Row{.name = "groups_name_the_station",
            .target = "/api/groups.json",
            .bodyHas = {"{\"station\":\"\\u003cimg src=x "
                        "onerror=alert(1)\\u003e\",\"deviceId\":\"3514\""}},
        Row{.name = "yield_plot_geometry",
            .target = "/plot/yield.svg",
            .headHas = {"image/svg+xml"},
            // 180 units of height for 100 %: 75 % is 135, oldest day first.
            .bodyHas = {"role=\"img\"", "<title id=\"title\">First-pass yield per day</title>",
                        "data-day=\"2026-12-07\" data-yield=\"75.0\" x=\"52.0\" y=\"65.0\" "
                        "width=\"40.0\" height=\"135.0\"",
                        "data-day=\"2026-12-08\" data-yield=\"100.0\" x=\"108.0\" y=\"20.0\" "
                        "width=\"40.0\" height=\"180.0\""}},
        Row{.name = "pareto_geometry_and_escaping",
            .target = "/plot/failures.svg?type=3514",
            // Longest first at the full 300 units; half the count, half the length.
            .bodyHas = {"data-label=\"interrupted\" data-count=\"4\" x=\"200.0\" y=\"31.0\" "
                        "width=\"300.0\"",
                        "data-label=\"write-failed at block 17\" data-count=\"2\" x=\"200.0\" "
                        "y=\"55.0\" width=\"150.0\"",
                        "&lt;img src=x onerror=alert(1)&gt; (type 3514)", "4 (67% so far)",
                        "2 (100% so far)"},
            .bodyLacks = {"<img"}},
        Row{.name = "status_counts_the_waiting",
            .target = "/api/status.json",
            .bodyHas = {"\"counter\":1,", "\"liveClients\":0,\"maxLive\":16,",
                        "\"localStore\":true", "\"waiting\":2,"}},
        Row{.name = "token_missing", .tokenServer = true, .status = 401, .bodyHas = {"?token="}},
        Row{.name = "token_wrong",
            .target = "/?token=good-token-0123456788",
            .tokenServer = true,
            .status = 401},
        Row{.name = "token_once_then_cookie",
            .target = "/?days=7&token=good-token-0123456789",
            .tokenServer = true,
            .status = 303,
            .headHas = {"Location: /?days=7",
                        "Set-Cookie: lumaflash_token=good-token-0123456789; Path=/; HttpOnly; "
                        "SameSite=Strict"}},
        Row{.name = "token_cookie",
            .target = "/api/status.json",
            .extraHeaders = "Cookie: a=b; lumaflash_token=good-token-0123456789\r\n",
            .tokenServer = true,
            .bodyHas = {"\"counter\":"}},
        Row{.name = "host_before_token",
            .tokenServer = true,
            .status = 421,
            .host = "rebound.example"}));

// A live page takes a slot and hears of a change; past the last slot a page is turned away,
// and a closed page frees its slot at once, not after a time-out.
TEST(WebLive, SlotsAndChanges) {
  ServeSettings settings;
  settings.port = 0;
  settings.maxLive = 1;
  settings.changePoll = std::chrono::milliseconds(10);
  auto counter = std::make_shared<std::atomic<int64_t>>(1);
  auto started = WebServer::Start(std::move(settings), Fixed(counter));
  ASSERT_TRUE(started);
  WebServer& server = **started;
  const std::string request =
      "GET /events HTTP/1.1\r\nHost: 127.0.0.1:" + std::to_string(server.Port()) + "\r\n\r\n";
  const int fd = Send(server.Port(), request);
  ASSERT_GE(fd, 0);
  std::string stream;
  auto heard = [&](const std::string& text) {
    char buffer[1024];
    while (!Has(stream, text)) {
      const ssize_t got = ::recv(fd, buffer, sizeof buffer, 0);
      if (got <= 0) {
        return false;
      }
      stream.append(buffer, static_cast<std::size_t>(got));
    }
    return true;
  };
  EXPECT_TRUE(heard("data: 1\n\n")) << stream;
  EXPECT_TRUE(Has(stream, "Content-Type: text/event-stream"));
  EXPECT_EQ(server.LiveClients(), 1U);
  *counter = 2;
  EXPECT_TRUE(heard("data: 2\n\n")) << stream;
  EXPECT_EQ(Ask(server.Port(), "GET /events HTTP/1.1\r\nHost: 127.0.0.1:" +
                                   std::to_string(server.Port()) + "\r\nConnection: close\r\n\r\n")
                .status,
            503);
  ::close(fd);
  EXPECT_TRUE(testing::WaitFor([&] { return server.LiveClients() == 0; }));
}

TEST(WebLive, NoListeningBeyondLoopbackWithoutToken) {
  ServeSettings settings;
  settings.address = "0.0.0.0";
  settings.port = 0;
  auto refused = WebServer::Start(std::move(settings), Fixed());
  ASSERT_FALSE(refused);
  EXPECT_TRUE(Has(refused.error().message, "--token-file")) << refused.error().message;
}

}  // namespace
// The view's days are the factory's, as records --summary counts them: its questions name the
// zone, and "the last N days" start at a midnight of that zone. At 00:00:10Z it is already 08:00
// in Shanghai, so its day began at 16:00Z.
TEST(WebDays, AreTheDaysOfTheViewsZone) {
  struct Case {
    const char* zone;
    int days;
    int64_t sinceMs;
  };
  for (const Case& c : {Case{"Asia/Shanghai", 1, 1728057600000}, Case{"UTC", 1, 1728086400000},
                        Case{"Asia/Shanghai", 2, 1727971200000}}) {
    auto zone = platform::TimeZone::Named(c.zone);
    ASSERT_TRUE(zone) << c.zone;
    ServeSettings settings;
    settings.port = 0;
    settings.source.timeZone = c.zone;
    settings.source.zone = *zone;
    settings.nowMs = [] { return int64_t{1728086410000}; };  // 2024-10-05T00:00:10Z
    const auto asked = std::make_shared<Asked>();
    auto server = WebServer::Start(std::move(settings), Fixed({}, asked));
    ASSERT_TRUE(server) << server.error().message;
    const Answer answer = Ask(
        (*server)->Port(), "GET /api/days.json?days=" + std::to_string(c.days) +
                               " HTTP/1.1\r\nHost: 127.0.0.1:" + std::to_string((*server)->Port()) +
                               "\r\nConnection: close\r\n\r\n");
    EXPECT_EQ(answer.status, 200) << answer.body;
    const std::lock_guard lock(asked->mutex);
    EXPECT_EQ(asked->timeZone, c.zone);
    EXPECT_EQ(asked->sinceMs, c.sinceMs) << c.zone << ", " << c.days << " day(s)";
  }
}

}  // namespace lumaflash::web
