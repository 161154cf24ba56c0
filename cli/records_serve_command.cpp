// `records serve`: the records as a live, read-only web page, until Ctrl+C or SIGTERM.
#include <algorithm>
#include <cctype>
#include <chrono>
#include <cstdio>
#include <fstream>
#include <sstream>
#include <stop_token>

#include "cli/commands.h"
#include "cli/exit_codes.h"
#include "core/platform/command_line.h"
#include "core/platform/stop_signals.h"
#include "core/platform/stoppable_pause.h"
#include "core/platform/text_path.h"
#include "core/platform/time_zone.h"
#include "core/records/questions.h"
#include "core/records/recorder.h"
#include "lumaflash_version.h"
#include "web/access_guard.h"
#include "web/web_server.h"

namespace lumaflash::cli {

namespace {

constexpr std::size_t kShortestToken = 16;

// "127.0.0.1:8470" and "[::1]:8470" as address and port; the option parser saw the colon.
bool SplitListen(const std::string& listen, web::ServeSettings& settings) {
  const std::size_t colon = listen.rfind(':');
  std::string address = listen.substr(0, colon);
  if (address.size() > 2 && address.front() == '[' && address.back() == ']') {
    address = address.substr(1, address.size() - 2);
  }
  const std::string port = listen.substr(colon + 1);
  if (port.empty() || port.size() > 5 ||
      !std::all_of(port.begin(), port.end(),
                   [](char c) { return std::isdigit(static_cast<unsigned char>(c)) != 0; }) ||
      std::stoul(port) > 65535) {
    return false;
  }
  settings.address = address;
  settings.port = static_cast<unsigned short>(std::stoul(port));
  return true;
}

// The token in `path`: its first line, without surrounding blanks. Only letters, digits and
// - . _ ~ so that it travels unchanged in a URL and a cookie.
Expected<std::string, platform::UsageError> ReadToken(const std::string& path) {
  std::ifstream file(platform::PathFromUtf8(path), std::ios::binary);
  std::string token;
  if (!file || !std::getline(file, token)) {
    return MakeUnexpected(platform::UsageError{"cannot read the token file " + path +
                                               ": name a readable file that holds the token"});
  }
  const auto blank = [](char c) { return std::isspace(static_cast<unsigned char>(c)) != 0; };
  token.erase(token.begin(), std::find_if_not(token.begin(), token.end(), blank));
  token.erase(std::find_if_not(token.rbegin(), token.rend(), blank).base(), token.end());
  const bool usable = std::all_of(token.begin(), token.end(), [](char c) {
    return std::isalnum(static_cast<unsigned char>(c)) != 0 || c == '-' || c == '.' || c == '_' ||
           c == '~';
  });
  if (token.size() < kShortestToken || !usable) {
    return MakeUnexpected(platform::UsageError{
        "the token in " + path +
        " must be at least 16 characters of letters, digits and - . _ ~ "
        "(e.g. the output of: head -c 24 /dev/urandom | base64 | tr '+/' '-_')"});
  }
  return token;
}

int Refuse(int code, const std::string& message) {
  std::fprintf(stderr, "lumaflash-cli: %s.\n", message.c_str());
  return code;
}

// Where and to whom the view is served: the address, the live slots, the names and the token.
// A mistake is told on standard error; its exit code is the error.
Expected<web::ServeSettings, int> Listening(const Options& options) {
  web::ServeSettings settings;
  if (!SplitListen(options.listen, settings)) {
    return MakeUnexpected(
        Refuse(kExitUsage, "--listen takes an address and a port from 0 to 65535, ADDR:PORT; \"" +
                               options.listen + "\" is not one; see lumaflash-cli records --help"));
  }
  settings.maxLive = options.maxLive;
  settings.hostNames = options.hostNames;
  if (!options.tokenFile.empty()) {
    auto token = ReadToken(options.tokenFile);
    if (!token) {
      return MakeUnexpected(Refuse(kExitUsage, token.error().text));
    }
    settings.token = *token;
  } else if (!web::IsLoopbackAddress(settings.address)) {
    return MakeUnexpected(Refuse(kExitUsage, "records serve listens beyond this machine (" +
                                                 settings.address +
                                                 ") only with an access token: add --token-file "
                                                 "FILE, or listen on 127.0.0.1"));
  }
  return settings;
}

}  // namespace

int RunRecordsServe(const Options& options) {
  auto listening = Listening(options);
  if (!listening) {
    return listening.error();
  }
  web::ServeSettings settings = *std::move(listening);
  const records::RecordsConfig config =
      records::ResolveRecordsConfig(options.records, "", options.recordsServer, kVersion);
  web::QuestionsOpener open;
  if (options.server) {
    if (config.serverUri.empty()) {
      return TellNoRecordsServer();
    }
    if (const int refused = RefuseUnusableServer(config.serverUri); refused != kExitOk) {
      return refused;
    }
    settings.source.description = "the records server";
    open = [uri = config.serverUri] { return records::ServerQuestions(uri); };
  } else {
    if (config.off) {
      return Refuse(kExitUsage, "--records off names no store; name one with --records PATH");
    }
    settings.source.description = "the records of " + platform::Utf8FromPath(config.storePath);
    settings.source.localStore = true;
    open = [path = config.storePath] { return records::LocalQuestions(path); };
  }
  // The days are the factory's, as records --summary counts them.
  auto zone = ZoneOfDays(options);
  if (!zone) {
    return zone.error();
  }
  settings.source.timeZone = options.timeZone;
  settings.source.zone = *std::move(zone);
  std::stop_source stop;
  const platform::StopSignals stopSignals(stop);
  const std::string source = settings.source.description;
  auto server = web::WebServer::Start(std::move(settings), open);
  if (!server) {
    return Refuse(kExitFailure, server.error().message);
  }
  std::printf("Serving %s at %s\n", source.c_str(), (*server)->Url().c_str());
  std::fflush(stdout);
  platform::WaitForStop(stop.get_token());
  server->reset();
  std::printf("Stopped serving.\n");
  return kExitOk;
}

}  // namespace lumaflash::cli
