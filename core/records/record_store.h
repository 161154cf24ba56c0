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
// before it returns, every value bound as a parameter. An attempt's row is written before its
// first packet (Begin) and completed when it ends (Finish); until then it reads kUnfinished and
// names its owner, the process writing it (records::ThisProcessOwner()). Readers show such a row
// as kInProgress while its owner runs; a writer that opens the store lets go of the rows whose
// owner has died, so that they read kUnfinished for good and are forwarded as such.
class RecordStore {
 public:
  enum class Mode { Write, Read };

  // Opens the store at `path`. For writing, a missing file is made with the current layout and
  // an older layout is migrated forward, inside one write transaction that waits for the lock
  // within the busy time-out, so that any number of programs may open a new store at once.
  // For reading the file is opened read-only (and, when its folder cannot be written and no
  // -wal file is beside it, as an unchanging file), so a reader never changes it. Fails with a
  // sentence that names the store, the reason and the fix when it cannot be used: missing for
  // reading, read-only for writing, not a store, locked past the time-out, or of a newer layout.
  static RecordsResult<std::unique_ptr<RecordStore>> Open(const std::filesystem::path& path,
                                                          Mode mode);
  ~RecordStore();
  RecordStore(const RecordStore&) = delete;
  RecordStore& operator=(const RecordStore&) = delete;

  // Writes the row of an attempt that begins (`record` reads kUnfinished), owned by this
  // process until Finish(). Done once committed: from then on it outlives the program, but it
  // is on the disk (and outlives a power cut) only with the next NoteProgress(), which is
  // synced. An id already in the store is an error.
  RecordsResult<void> Begin(const Record& record);
  // Notes how far a begun attempt got: the block reached and the time so far. Done once on
  // disk. Changes nothing once the attempt is finished.
  RecordsResult<void> NoteProgress(const std::string& id, int64_t block, int64_t endedAtMs,
                                   int64_t durationMs);
  // Writes the final `record` of an attempt begun here and lets go of it. Done once on disk.
  RecordsResult<void> Finish(const Record& record);
  // Adds a finished record whose attempt was never begun here. Done once it is on disk. An id
  // already in the store is an error, never dropped quietly.
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
  RecordsResult<void> PrepareForWriting();
  RecordsResult<void> PrepareForReading();
  RecordsResult<void> Insert(const Record& record, bool owned);

  sqlite3* m_db;
  std::filesystem::path m_path;
};

}  // namespace lumaflash::records
