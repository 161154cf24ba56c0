#pragma once

// What the local store keeps of forwarding: for each server, how far the records have gone to
// it, and the records it refused for good.
#include <cstdint>
#include <string>
#include <vector>

#include "core/records/record.h"

namespace lumaflash::records {

// A server as the store tells servers apart.
struct ServerIdentity {
  std::string identity;  // "SYSTEM-IDENTIFIER/DATABASE": the same under any address
  std::string address;   // how the station names it, without any secret
};

// A record that a server refused for good (a fault of the record, not of the link or the
// server's load), with the server's SQLSTATE and message.
struct Rejection {
  Record record;
  std::string server;    // the refusing server's identity
  std::string sqlState;  // "22021"
  std::string message;
  int64_t rejectedAtMs = 0;
};

// A finished record with its place in the order in which records became ready to forward.
struct ReadyRecord {
  Record record;
  int64_t place = 0;
};

// What one round of forwarding did on one server, to be kept in the local store once the server
// has committed it.
struct ForwardMark {
  int64_t through = 0;                // every ready record up to this place has gone (0: none)
  std::vector<Rejection> refused;     // refused for good in this round
  std::vector<std::string> accepted;  // ids of records refused before that the server took now
};

}  // namespace lumaflash::records
