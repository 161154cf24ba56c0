// The record store of a build without SQLite: every store is refused with the reason, so the
// program still runs and says plainly that no record is kept.
#include "core/platform/text_path.h"
#include "core/records/record_store.h"

namespace lumaflash::records {

namespace {

constexpr const char* kNoStore =
    " cannot be used: this build of Lumaflash was made without SQLite. Use a build with SQLite "
    "to keep records, or pass --records off";

}  // namespace

RecordStore::RecordStore(sqlite3* db, std::filesystem::path path)
    : m_db(db), m_path(std::move(path)) {}

RecordStore::~RecordStore() = default;

std::unique_ptr<RecordStore> RecordStore::Open(const std::filesystem::path& path, Mode,
                                               std::string& error) {
  error = "the record store " + platform::Utf8FromPath(path) + kNoStore;
  return nullptr;
}

bool RecordStore::Commit(const Record&, std::string& error) {
  error = "the record store" + std::string(kNoStore);
  return false;
}

bool RecordStore::Find(const RecordFilter&, std::vector<Record>&, std::string& error) {
  error = "the record store" + std::string(kNoStore);
  return false;
}

bool RecordStore::Unforwarded(std::size_t, std::vector<Record>&, std::string& error) {
  error = "the record store" + std::string(kNoStore);
  return false;
}

bool RecordStore::MarkForwarded(const std::vector<std::string>&, std::string& error) {
  error = "the record store" + std::string(kNoStore);
  return false;
}

std::optional<std::size_t> RecordStore::CountUnforwarded() {
  return std::nullopt;
}

}  // namespace lumaflash::records
