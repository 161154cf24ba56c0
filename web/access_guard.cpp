#include "web/access_guard.h"

#include <algorithm>
#include <cctype>

#include "web/escape.h"

namespace lumaflash::web {

namespace {

std::string Lower(std::string_view text) {
  std::string out(text);
  std::transform(out.begin(), out.end(), out.begin(), [](char c) {
    return static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  });
  return out;
}

// The value of cookie `name` in a Cookie header ("a=1; lumaflash_token=..."), or empty.
std::string CookieValue(std::string_view header, std::string_view name) {
  while (!header.empty()) {
    const std::size_t end = std::min(header.find(';'), header.size());
    std::string_view pair = header.substr(0, end);
    while (!pair.empty() && pair.front() == ' ') {
      pair.remove_prefix(1);
    }
    if (pair.size() > name.size() && pair.substr(0, name.size()) == name &&
        pair[name.size()] == '=') {
      return std::string(pair.substr(name.size() + 1));
    }
    header.remove_prefix(std::min(end + 1, header.size()));
  }
  return {};
}

// The target without its token parameter, where the browser is sent once the cookie is set.
std::string WithoutToken(const std::string& target) {
  const std::string path = TargetPath(target);
  const std::string fullQuery = TargetQuery(target);
  std::string_view query = fullQuery;
  std::string kept;
  while (!query.empty()) {
    const std::size_t end = std::min(query.find('&'), query.size());
    const std::string_view pair = query.substr(0, end);
    if (pair != "token" && pair.substr(0, 6) != "token=") {
      kept += (kept.empty() ? "" : "&") + std::string(pair);
    }
    query.remove_prefix(std::min(end + 1, query.size()));
  }
  return kept.empty() ? path : path + "?" + kept;
}

}  // namespace

AccessGuard::AccessGuard(std::vector<std::string> hosts, std::string token)
    : m_hosts(std::move(hosts)), m_token(std::move(token)) {
  for (std::string& host : m_hosts) {
    host = Lower(host);
  }
}

bool AccessGuard::HostAllowed(std::string_view host) const {
  return std::find(m_hosts.begin(), m_hosts.end(), Lower(host)) != m_hosts.end();
}

bool AccessGuard::TokenMatches(std::string_view offered) const {
  return SameSecret(offered, m_token);
}

std::optional<Response> AccessGuard::Check(const Request& request) const {
  if (request.method != "GET" && request.method != "HEAD") {
    Response refused = TextResponse(
        405, "This view is read-only: it answers GET and HEAD only, not " + request.method + ".");
    refused.headers.emplace_back("Allow", "GET, HEAD");
    return refused;
  }
  if (request.hasBody) {
    return TextResponse(413, "A request to this view carries no body; send it without one.");
  }
  if (!HostAllowed(request.host)) {
    return TextResponse(421, "This server does not answer for the host \"" + request.host +
                                 "\". Open it by the address it printed, or start it with "
                                 "--host-name NAME for each name it is reached by.");
  }
  if (m_token.empty()) {
    return std::nullopt;
  }
  if (TokenMatches(CookieValue(request.cookie, kTokenCookie))) {
    return std::nullopt;
  }
  const QueryValue offered = QueryParameter(TargetQuery(request.target), "token");
  if (offered.present && TokenMatches(offered.value)) {
    Response redirect;
    redirect.status = 303;
    redirect.headers.emplace_back("Location", WithoutToken(request.target));
    redirect.headers.emplace_back("Set-Cookie", std::string(kTokenCookie) + "=" + offered.value +
                                                    "; Path=/; HttpOnly; SameSite=Strict");
    return redirect;
  }
  return TextResponse(401,
                      "This view needs its access token: open the address once with "
                      "?token=TOKEN (the content of the server's --token-file).");
}

std::vector<std::string> AcceptedHosts(const std::string& address, unsigned short port,
                                       const std::vector<std::string>& names) {
  const std::string suffix = ":" + std::to_string(port);
  const bool v6 = address.find(':') != std::string::npos;
  std::vector<std::string> hosts{(v6 ? "[" + address + "]" : address) + suffix};
  if (IsLoopbackAddress(address)) {
    hosts.push_back("localhost" + suffix);
  }
  for (const std::string& name : names) {
    hosts.push_back(name);
    hosts.push_back(name + suffix);
  }
  if (port == 80) {
    hosts.push_back(v6 ? "[" + address + "]" : address);
  }
  return hosts;
}

bool IsLoopbackAddress(const std::string& address) {
  return address == "::1" || address.rfind("127.", 0) == 0 || address == "localhost";
}

bool SameSecret(std::string_view a, std::string_view b) {
  // Every byte is looked at whatever differs, so the time says nothing about where.
  unsigned difference = a.size() == b.size() ? 0U : 1U;
  const std::size_t length = std::max(a.size(), b.size());
  for (std::size_t i = 0; i < length; ++i) {
    const auto x = static_cast<unsigned char>(i < a.size() ? a[i] : 0);
    const auto y = static_cast<unsigned char>(i < b.size() ? b[i] : 0);
    difference |= static_cast<unsigned>(x ^ y);
  }
  return difference == 0 && !b.empty();
}

}  // namespace lumaflash::web
