// `records sync`: forwarding on the operator's word, with what went and what still waits.
#include <cstdio>

#include "cli/commands.h"
#include "cli/exit_codes.h"
#include "core/platform/text_path.h"
#include "core/records/server.h"

namespace lumaflash::cli {

int TellNoRecordsServer() {
  std::fprintf(stderr,
               "lumaflash-cli: no records server is named: pass --records-server URI or set "
               "LUMAFLASH_RECORDS_SERVER (e.g. postgresql://station@db.example/lumaflash).\n");
  return kExitUsage;
}

int RunRecordsSync(const records::RecordsConfig& config) {
  if (config.serverUri.empty()) {
    return TellNoRecordsServer();
  }
  auto store = records::RecordStore::Open(config.storePath, records::RecordStore::Mode::Write);
  if (!store) {
    std::fprintf(stderr, "lumaflash-cli: %s.\n", records::Describe(store.error()).c_str());
    return kExitFailure;
  }
  const records::ForwardReport report = records::ForwardWaiting(**store, config.serverUri);
  const std::size_t waiting = (*store)->CountUnforwarded().value_or(0);
  std::printf("sent %zu, waiting %zu\n", report.sent, waiting);
  if (report.failure) {
    std::fprintf(stderr,
                 "lumaflash-cli: %s. The %zu waiting record(s) stay in %s; run records sync "
                 "again once the server can be reached.\n",
                 report.failure->message.c_str(), waiting,
                 platform::Utf8FromPath(config.storePath).c_str());
    return kExitFailure;
  }
  return kExitOk;
}

}  // namespace lumaflash::cli
