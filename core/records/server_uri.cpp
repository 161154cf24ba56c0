#include "core/records/server_uri.h"

#include <libpq-fe.h>

#include <algorithm>
#include <array>
#include <cctype>
#include <memory>
#include <optional>
#include <string_view>

#include "core/records/station.h"

namespace lumaflash::records {

namespace {

constexpr std::string_view kUriForm = "postgresql://USER@HOST[:PORT]/DATABASE[?KEY=VALUE...]";
constexpr std::array<std::string_view, 2> kPrefixes{"postgresql://", "postgres://"};

constexpr std::string_view kPasswordAdvice =
    "holds a password, which Lumaflash never takes from a command line or the environment (any "
    "user could read it in the process list): remove it from the URI and put it in ~/.pgpass, "
    "or in the file that PGPASSFILE names (on Windows %APPDATA%\\postgresql\\pgpass.conf)";

constexpr std::string_view kCaAdvice =
    ": towards another host Lumaflash talks only TLS that checks the server's certificate "
    "(sslmode=verify-full). Leave sslmode out, and install the certificate of the CA that signed "
    "the server's certificate as ~/.postgresql/root.crt (on Windows "
    "%APPDATA%\\postgresql\\root.crt) or name it with sslrootcert=PATH in the URI";

struct OptionsFreer {
  void operator()(PQconninfoOption* options) const { PQconninfoFree(options); }
};
using Options = std::unique_ptr<PQconninfoOption, OptionsFreer>;

ServerUriError Why(std::string_view why) {
  return ServerUriError{"the records server URI " + std::string(why)};
}

Unexpected<ServerUriError> Refused(std::string_view why) {
  return MakeUnexpected(Why(why));
}

std::size_t PrefixLength(std::string_view uri) {
  for (std::string_view prefix : kPrefixes) {
    if (uri.starts_with(prefix)) {
      return prefix.size();
    }
  }
  return 0;
}

// USER:PASSWORD@ before the host, found the way libpq finds it (the first '@' before any '/'),
// so that a URI libpq cannot read is still known to hold a password.
bool HasPasswordPart(std::string_view uri) {
  const std::string_view rest = uri.substr(PrefixLength(uri));
  const std::size_t end = rest.find_first_of("@/");
  if (end == std::string_view::npos || rest[end] != '@') {
    return false;
  }
  const std::size_t colon = rest.substr(0, end).find(':');
  return colon != std::string_view::npos && colon + 1 < end;
}

bool IsHexDigit(char c) {
  return std::isxdigit(static_cast<unsigned char>(c)) != 0;
}

// A '%' not followed by two hexadecimal digits, or %00, which libpq refuses.
bool HasBadEscape(std::string_view uri) {
  for (std::size_t at = uri.find('%'); at != std::string_view::npos; at = uri.find('%', at + 1)) {
    if (at + 2 >= uri.size() || !IsHexDigit(uri[at + 1]) || !IsHexDigit(uri[at + 2]) ||
        uri.substr(at + 1, 2) == "00") {
      return true;
    }
  }
  return false;
}

std::vector<std::string> Split(std::string_view text, char separator) {
  std::vector<std::string> parts;
  std::size_t start = 0;
  for (std::size_t at = text.find(separator); at != std::string_view::npos;
       at = text.find(separator, start)) {
    parts.emplace_back(text.substr(start, at - start));
    start = at + 1;
  }
  parts.emplace_back(text.substr(start));
  return parts;
}

bool KnownKey(std::string_view key) {
  if (key == "ssl" || key == "requiressl") {  // libpq's URI forms of sslmode
    return true;
  }
  const Options defaults(PQconndefaults());
  for (const PQconninfoOption* option = defaults.get(); option && option->keyword; ++option) {
    if (key == option->keyword) {
      return true;
    }
  }
  return false;
}

// Why libpq could not read `uri`, in words that never repeat any part of it but a parameter's
// name (a malformed escape may be in the password).
ServerUriError Unreadable(std::string_view uri) {
  if (HasBadEscape(uri)) {
    return Why(
        "cannot be read: it has a % that is not followed by two hexadecimal digits (write %25 "
        "for a % itself)");
  }
  const std::size_t query = uri.find('?');
  if (query != std::string_view::npos) {
    for (const std::string& parameter : Split(uri.substr(query + 1), '&')) {
      const std::string key = parameter.substr(0, parameter.find('='));
      if (KnownKey(key)) {
        continue;
      }
      const bool plainName = !key.empty() && std::all_of(key.begin(), key.end(), [](char c) {
        return std::islower(static_cast<unsigned char>(c)) != 0 || c == '_';
      });
      return Why("has an unknown parameter" + (plainName ? " \"" + key + "\"" : "") +
                 ": use libpq's connection parameters (sslmode, sslrootcert, connect_timeout, "
                 "application_name, ...) as KEY=VALUE");
    }
  }
  return Why("cannot be read: write it as " + std::string(kUriForm));
}

bool IsLoopbackIpv4(std::string_view host) {
  const std::vector<std::string> parts = Split(host, '.');
  if (parts.size() != 4 || parts[0] != "127") {
    return false;
  }
  return std::all_of(parts.begin(), parts.end(), [](const std::string& part) {
    return !part.empty() && part.size() <= 3 &&
           std::all_of(part.begin(), part.end(), [](char c) { return c >= '0' && c <= '9'; }) &&
           std::stoi(part) <= 255;
  });
}

// A Unix socket folder, or this machine's own loopback. Anything else, a name that might
// resolve anywhere included, counts as another host.
bool IsLocal(std::string_view host) {
  return host.empty() || host.starts_with('/') || host.starts_with('@') || host == "localhost" ||
         host == "::1" || host == "0:0:0:0:0:0:0:1" || IsLoopbackIpv4(host);
}

// What libpq will connect to: the URI's host and hostaddr, else those of the environment.
// Nothing when a service file may name it.
std::optional<std::vector<std::string>> Endpoints(const std::optional<std::string>& host,
                                                  const std::optional<std::string>& hostaddr,
                                                  bool service) {
  std::vector<std::string> endpoints;
  for (const auto& [given, variable] : {std::pair{host, "PGHOST"}, {hostaddr, "PGHOSTADDR"}}) {
    const std::optional<std::string> value = given ? given : EnvironmentText(variable);
    if (value) {
      const std::vector<std::string> parts = Split(*value, ',');
      endpoints.insert(endpoints.end(), parts.begin(), parts.end());
    }
  }
  if (endpoints.empty() && (service || EnvironmentText("PGSERVICE"))) {
    return std::nullopt;
  }
  return endpoints;
}

struct Parsed {
  std::vector<std::pair<std::string, std::string>> keywords;

  std::optional<std::string> Value(std::string_view key) const {
    for (const auto& [name, value] : keywords) {
      if (name == key) {
        return value;
      }
    }
    return std::nullopt;
  }
};

std::string Shown(const Parsed& parsed) {
  std::string text = "postgresql://";
  if (auto user = parsed.Value("user")) {
    text += *user + "@";
  }
  text += parsed.Value("host").value_or("");
  if (auto port = parsed.Value("port")) {
    text += ":" + *port;
  }
  return text + "/" + parsed.Value("dbname").value_or("");
}

// Towards another host: verified TLS, and SCRAM bound to that TLS channel unless the URI says
// otherwise (prefer: for a server that authenticates by certificate).
Expected<void, ServerUriError> InsistOnTls(Parsed& parsed, const std::string& where) {
  const std::optional<std::string> sslmode = parsed.Value("sslmode");
  if (sslmode && *sslmode != "verify-full") {
    return Refused("asks for sslmode=" + *sslmode + " towards " + where + std::string(kCaAdvice));
  }
  const std::optional<std::string> binding = parsed.Value("channel_binding");
  if (binding && *binding != "require" && *binding != "prefer") {
    return Refused("asks for channel_binding=" + *binding + " towards " + where +
                   ": leave channel_binding out (or write channel_binding=prefer for a server "
                   "that authenticates by certificate)");
  }
  if (!sslmode) {
    parsed.keywords.emplace_back("sslmode", "verify-full");
  }
  if (!binding) {
    parsed.keywords.emplace_back("channel_binding", "require");
  }
  return {};
}

}  // namespace

Expected<ServerAddress, ServerUriError> ParseServerUri(const std::string& uri) {
  if (PrefixLength(uri) == 0) {
    return Refused("must be a URI, " + std::string(kUriForm) +
                   " (a key=value connection string is not taken)");
  }
  if (HasPasswordPart(uri)) {
    return Refused(kPasswordAdvice);
  }
  char* error = nullptr;
  const Options options(PQconninfoParse(uri.c_str(), &error));
  PQfreemem(error);  // it may quote the URI; the reason is told in our words instead
  if (!options) {
    return MakeUnexpected(Unreadable(uri));
  }
  Parsed parsed;
  for (const PQconninfoOption* option = options.get(); option->keyword; ++option) {
    if (option->val != nullptr) {
      parsed.keywords.emplace_back(option->keyword, option->val);
    }
  }
  if (parsed.Value("password")) {
    return Refused(kPasswordAdvice);
  }
  // libpq would read such a database name as more connection parameters.
  const std::string dbname = parsed.Value("dbname").value_or("");
  if (dbname.find('=') != std::string::npos || PrefixLength(dbname) != 0) {
    return Refused("names a database with \"=\" or \"://\" in its name: name a plain database");
  }
  const auto endpoints = Endpoints(parsed.Value("host"), parsed.Value("hostaddr"),
                                   parsed.Value("service").has_value());
  std::optional<std::string> remote = "the service file's host";
  if (endpoints) {
    const auto found = std::find_if_not(endpoints->begin(), endpoints->end(), IsLocal);
    remote = found == endpoints->end() ? std::nullopt : std::optional(*found);
  }
  if (remote) {
    if (auto insisted = InsistOnTls(parsed, *remote); !insisted) {
      return MakeUnexpected(insisted.error());
    }
  }
  return ServerAddress{parsed.keywords, Shown(parsed)};
}

}  // namespace lumaflash::records
