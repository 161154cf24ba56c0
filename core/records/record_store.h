#pragma once

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <memory>
#include <optional>
#include <span>
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
  // Records not yet committed by the server, oldest first, at most `limit`.
  RecordsResult<std::vector<Record>> Unforwarded(std::size_t limit);
  // Marks records as committed by the server.
  RecordsResult<void> MarkForwarded(const std::vector<std::string>& ids);
  // How many records wait for the server; nothing on a read error.
  std::optional<std::size_t> CountUnforwarded();

  const std::filesystem::path& Path() const { return m_path; }

 private:
  RecordStore(sqlite3* db, std::filesystem::path path);
  sqlite3* m_db;
  std::filesystem::path m_path;
};

}  // namespace lumaflash::records
