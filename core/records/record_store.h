#pragma once

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <vector>

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
  std::optional<std::string> result;
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
  // The records that pass `filter`, newest first.
  RecordsResult<std::vector<Record>> Find(const RecordFilter& filter);
  // Records not yet committed by the server, oldest first, at most `limit`.
  RecordsResult<std::vector<Record>> Unforwarded(std::size_t limit);
  // Marks records as committed by the server.
  RecordsResult<void> MarkForwarded(const std::vector<std::string>& ids);
  // How many records wait for the server; nothing on a read error.
  std::optional<std::size_t> CountUnforwarded();

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
