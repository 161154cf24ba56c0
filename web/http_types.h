#pragma once

#include <string>
#include <utility>
#include <vector>

namespace lumaflash::web {

// A request as the answering code sees it: only what it reads, already taken from the wire.
struct Request {
  std::string method;  // "GET", "HEAD", ...
  std::string target;  // "/api/attempts.json?days=7"
  std::string host;    // the Host header, as sent
  std::string cookie;  // the Cookie header, as sent
  bool hasBody = false;
};

// An answer before it goes on the wire; the server adds the headers every answer carries.
struct Response {
  unsigned status = 200;
  std::string contentType;
  std::string body;
  std::vector<std::pair<std::string, std::string>> headers;
};

// A short plain-text answer: the status and one sentence that says what is wrong and what to do.
Response TextResponse(unsigned status, std::string sentence);

// The path of a target ("/api/x.json" of "/api/x.json?a=1") and its query ("a=1").
std::string TargetPath(const std::string& target);
std::string TargetQuery(const std::string& target);

}  // namespace lumaflash::web
