#pragma once

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "core/records/forward_marks.h"
#include "core/records/record.h"
#include "core/records/records_error.h"

struct sqlite3;

namespace lumaflash::records {

// The version of the store's layout that this program writes. A store made by a newer program
// is refused, never changed; an older one is brought forward when it is opened for writing.
inline constexpr int kStoreSchemaVersion = 2;

// Which records a question asks for; every part that is set must hold.
struct RecordFilter {
  std::optional<int64_t> sinceMs;  // started at or after
  std::optional<int64_t> untilMs;  // started before
  std::optional<std::string> serial;
  std::optional<std::string> usbSerial;
  std::optional<std::string> imageSha256;
  std::optional<std::string> imagePath;
  std::optional<std::string> result;  // one word of kResultWords (questions.h), or "not-ok"
  std::optional<std::string> station;
  std::optional<std::string> deviceId;  // four hex digits
};

// The station's own record store: one SQLite file in WAL mode, every commit synced to disk
// before it returns, every value bound as a parameter.
class RecordStore {
 public:
  enum class Mode { Write, Read };

  // Opens the store at `path`. For writing, a missing file is made with the current layout and
  // an older layout is migrated forward. Fails with a sentence that names the store, the
  // reason and the fix when it cannot be used: missing for reading, read-only for writing, not
  // a store, locked past the time-out, or of a newer layout.
  static RecordsResult<std::unique_ptr<RecordStore>> Open(const std::filesystem::path& path,
                                                          Mode mode);
  ~RecordStore();
  RecordStore(const RecordStore&) = delete;
  RecordStore& operator=(const RecordStore&) = delete;

  // Adds one record; done once it is on disk. A record whose id is already there is kept once.
  RecordsResult<void> Commit(const Record& record);
  // Adds many records in one transaction, on disk once it returns; all or none of them.
  RecordsResult<void> CommitAll(std::span<const Record> records);

  // Forwarding, per server (forward_marks_sqlite.cpp). A record is ready to forward once it is
  // finished (its result is not "in-progress"); records go to each server in the order in which
  // they became ready, so how far they went is one place per server.
  //
  // Whether the store at `path` can be forwarded from: it exists and holds records. Never makes
  // a store.
  static RecordsResult<void> CheckForwardable(const std::filesystem::path& path);
  // The key of `server` in the store, noted at the first contact. From here on this connection
  // keeps forwarding marks, whose commits do not wait for the disk.
  RecordsResult<int64_t> ServerKey(const ServerIdentity& server);
  // Ready records that have not gone to the server yet, in order, at most `limit`.
  RecordsResult<std::vector<ReadyRecord>> WaitingFor(int64_t server, std::size_t limit);
  // The records the server refused for good, oldest first.
  RecordsResult<std::vector<ReadyRecord>> RefusedBy(int64_t server);
  // Keeps what a round did on the server, after the server committed it.
  RecordsResult<void> MarkForwarded(int64_t server, const ForwardMark& mark);
  // How many ready records wait for the server (by key), or, for a server not reached in this
  // run, for the one last reached at `address` (all ready records when none was); nothing on a
  // read error. Counts only what waits, however many records the store holds.
  std::optional<std::size_t> CountWaiting(std::optional<int64_t> server,
                                          const std::string& address);
  // Every record a server refused for good, newest refusal first.
  RecordsResult<std::vector<Rejection>> Rejections();
  // Writes a consistent copy of the store to `copy`, which must not exist yet.
  RecordsResult<void> ExportTo(const std::filesystem::path& copy);

  const std::filesystem::path& Path() const { return m_path; }

 private:
  RecordStore(sqlite3* db, std::filesystem::path path);
  sqlite3* m_db;
  std::filesystem::path m_path;
};

}  // namespace lumaflash::records
