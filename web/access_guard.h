#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "web/http_types.h"

namespace lumaflash::web {

// The name of the cookie that carries the access token after its first use.
inline constexpr std::string_view kTokenCookie = "lumaflash_token";

// The checks every request passes before it is answered: read-only methods, no body, a Host
// that names this server (so a page of another site cannot reach it through DNS rebinding) and,
// when a token is set, the token.
class AccessGuard {
 public:
  // `hosts`: the Host values accepted ("127.0.0.1:8470", "view.factory.example"), compared
  // without regard to case. `token`: empty when none is required.
  AccessGuard(std::vector<std::string> hosts, std::string token);

  // Nothing when the request may be answered; otherwise the answer that refuses it, or the
  // redirect that turns a `?token=` into a cookie.
  std::optional<Response> Check(const Request& request) const;

 private:
  bool HostAllowed(std::string_view host) const;
  bool TokenMatches(std::string_view offered) const;

  std::vector<std::string> m_hosts;
  std::string m_token;
};

// The Host values a server listening on `address`:`port` accepts: the address and port, for a
// loopback address also "localhost", and each of `names` with and without the port.
std::vector<std::string> AcceptedHosts(const std::string& address, unsigned short port,
                                       const std::vector<std::string>& names);

// Whether `address` ("127.0.0.1", "::1", "0.0.0.0", ...) is reachable from this machine only.
bool IsLoopbackAddress(const std::string& address);

// Whether `a` and `b` are equal, taking the same time whatever their content.
bool SameSecret(std::string_view a, std::string_view b);

}  // namespace lumaflash::web
