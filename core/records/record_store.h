#pragma once

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "core/records/record.h"

struct sqlite3;

namespace lumaflash::records {

// The version of the store's layout that this program writes. A store made by a newer program
// is refused, never changed; an older one is brought forward when it is opened for writing.
inline constexpr int kStoreSchemaVersion = 1;

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
};

// The station's own record store: one SQLite file in WAL mode, every commit synced to disk
// before it returns, every value bound as a parameter.
class RecordStore {
 public:
  enum class Mode { Write, Read };

  // Opens the store at `path`. For writing, a missing file is made with the current layout and
  // an older layout is migrated forward. Null (and `error` set to a sentence that names the
  // store, the reason and the fix) when it cannot be used: missing for reading, read-only for
  // writing, not a store, locked past the time-out, or of a newer layout.
  static std::unique_ptr<RecordStore> Open(const std::filesystem::path& path, Mode mode,
                                           std::string& error);
  ~RecordStore();
  RecordStore(const RecordStore&) = delete;
  RecordStore& operator=(const RecordStore&) = delete;

  // Adds one record; true once it is on disk. A record whose id is already there is kept once.
  bool Commit(const Record& record, std::string& error);
  // The records that pass `filter`, newest first.
  bool Find(const RecordFilter& filter, std::vector<Record>& found, std::string& error);
  // Records not yet committed by the server, oldest first, at most `limit`.
  bool Unforwarded(std::size_t limit, std::vector<Record>& found, std::string& error);
  // Marks records as committed by the server.
  bool MarkForwarded(const std::vector<std::string>& ids, std::string& error);
  // How many records wait for the server; nothing on a read error.
  std::optional<std::size_t> CountUnforwarded();

  const std::filesystem::path& Path() const { return m_path; }

 private:
  RecordStore(sqlite3* db, std::filesystem::path path);
  sqlite3* m_db;
  std::filesystem::path m_path;
};

}  // namespace lumaflash::records
