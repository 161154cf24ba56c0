// `records sync` (forwarding on the operator's word, with what went, what still waits and what
// the server refused), `records export` (a copy of the store for a station without network) and
// `records --rejected`.
#include <cstdio>

#include "cli/commands.h"
#include "cli/exit_codes.h"
#include "cli/json.h"
#include "core/platform/text_path.h"
#include "core/records/server.h"

namespace lumaflash::cli {

namespace {

using records::RecordStore;

int TellStoreFailure(const records::RecordsError& error) {
  std::fprintf(stderr, "lumaflash-cli: %s.\n", records::Describe(error).c_str());
  return kExitFailure;
}

std::string Serial(const records::Record& record) {
  return record.serial ? *record.serial : (record.usbSerial ? "usb " + *record.usbSerial : "-");
}

int RunSync(const records::RecordsConfig& config) {
  if (config.serverUri.empty()) {
    return TellNoRecordsServer();
  }
  // Never a new store: an empty one would say "sent 0, waiting 0" about records that are
  // somewhere else.
  if (auto usable = RecordStore::CheckForwardable(config.storePath); !usable) {
    return TellStoreFailure(usable.error());
  }
  auto store = RecordStore::Open(config.storePath, RecordStore::Mode::Write);
  if (!store) {
    return TellStoreFailure(store.error());
  }
  records::ServerLink link(config.serverUri);
  const records::WaitLimit noLimit;  // the operator waits; the session's time-outs still hold
  const records::ForwardReport report = link.Forward(**store, noLimit, true);
  const std::size_t waiting = link.CountWaiting(**store).value_or(0);
  const std::string path = platform::Utf8FromPath(config.storePath);
  if (report.rejected.empty()) {
    std::printf("sent %zu, waiting %zu\n", report.sent, waiting);
  } else {
    std::printf("sent %zu, waiting %zu, rejected %zu\n", report.sent, waiting,
                report.rejected.size());
  }
  for (const records::Rejection& rejection : report.rejected) {
    std::fprintf(stderr,
                 "lumaflash-cli: the records server refused record %s (%s, %s, serial %s) for "
                 "good: SQLSTATE %s: %s.\n",
                 rejection.record.id.c_str(), records::IsoUtc(rejection.record.startedAtMs).c_str(),
                 rejection.record.port.c_str(), Serial(rejection.record).c_str(),
                 rejection.sqlState.c_str(), rejection.message.c_str());
  }
  if (report.failure) {
    std::fprintf(stderr, "lumaflash-cli: %s. The %zu waiting record(s) stay in %s.\n",
                 report.failure->message.c_str(), waiting, path.c_str());
    return kExitFailure;
  }
  if (!report.rejected.empty()) {
    std::fprintf(stderr,
                 "lumaflash-cli: the %zu refused record(s) stay in %s (lumaflash-cli records "
                 "--rejected lists them); mend the cause on the server and run records sync "
                 "again, which offers them once more.\n",
                 report.rejected.size(), path.c_str());
    return kExitFailure;
  }
  return kExitOk;
}

int RunExport(const Options& options, const records::RecordsConfig& config) {
  auto store = RecordStore::Open(config.storePath, RecordStore::Mode::Read);
  if (!store) {
    return TellStoreFailure(store.error());
  }
  if (auto exported = (*store)->ExportTo(platform::PathFromUtf8(options.exportTo)); !exported) {
    return TellStoreFailure(exported.error());
  }
  std::printf("copied %s to %s\n", platform::Utf8FromPath(config.storePath).c_str(),
              options.exportTo.c_str());
  return kExitOk;
}

}  // namespace

int TellNoRecordsServer() {
  std::fprintf(stderr,
               "lumaflash-cli: no records server is named: pass --records-server URI or set "
               "LUMAFLASH_RECORDS_SERVER (e.g. postgresql://station@db.example/lumaflash).\n");
  return kExitUsage;
}

int RunRecordsWord(const Options& options, const records::RecordsConfig& config) {
  return options.positional.front() == "export" ? RunExport(options, config) : RunSync(config);
}

int RunRejected(const Options& options, const records::RecordsConfig& config) {
  auto store = RecordStore::Open(config.storePath, RecordStore::Mode::Read);
  if (!store) {
    return TellStoreFailure(store.error());
  }
  auto found = (*store)->Rejections();
  if (!found) {
    return TellStoreFailure(found.error());
  }
  if (!options.json) {
    std::printf("%-24s %-36s %-24s %-18s %-8s %s\n", "REJECTED (UTC)", "RECORD", "STARTED (UTC)",
                "SERIAL", "SQLSTATE", "REASON (SERVER)");
  }
  for (const records::Rejection& rejection : *found) {
    const records::Record& record = rejection.record;
    if (options.json) {
      Json object;
      object["id"] = record.id;
      object["startedAt"] = records::IsoUtc(record.startedAtMs);
      object["station"] = record.station;
      object["port"] = record.port;
      object["serial"] = OrNull(record.serial);
      object["server"] = rejection.server;
      object["sqlState"] = rejection.sqlState;
      object["message"] = rejection.message;
      object["rejectedAt"] = records::IsoUtc(rejection.rejectedAtMs);
      std::printf("%s\n", DumpJson(object).c_str());
    } else {
      std::printf("%-24s %-36s %-24s %-18s %-8s %s (%s)\n",
                  records::IsoUtc(rejection.rejectedAtMs).c_str(), record.id.c_str(),
                  records::IsoUtc(record.startedAtMs).c_str(), Serial(record).c_str(),
                  rejection.sqlState.c_str(), rejection.message.c_str(), rejection.server.c_str());
    }
  }
  if (!options.json) {
    std::printf("%zu record(s) rejected\n", found->size());
  }
  return kExitOk;
}

}  // namespace lumaflash::cli
