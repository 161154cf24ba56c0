#pragma once

#include <string>
#include <utility>
#include <vector>

#include "core/platform/expected.h"

namespace lumaflash::records {

// Where and how to reach the records server: the connection keywords for libpq (the URI's
// own, with the security the program insists on added) and a text that names the server in
// messages without any secret.
struct ServerAddress {
  std::vector<std::pair<std::string, std::string>> keywords;
  std::string shown;
};

// A records server URI the program will not use; the message says why and what to write
// instead, and never repeats a password.
struct ServerUriError {
  std::string message;
};

inline const std::string& Describe(const ServerUriError& error) {
  return error.message;
}

// Checks a records server URI (postgresql://USER@HOST[:PORT]/DATABASE[?KEY=VALUE...]) at
// start-up, before anything is sent. Refused: anything libpq cannot read, an unknown parameter,
// a password (it belongs in ~/.pgpass or PGPASSFILE), and less than sslmode=verify-full towards
// a host that is not a Unix socket or a loopback address. Towards such a host the keywords ask
// for verify-full and channel_binding=require unless the URI names them.
Expected<ServerAddress, ServerUriError> ParseServerUri(const std::string& uri);

}  // namespace lumaflash::records
