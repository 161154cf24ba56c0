// The record store of a build without SQLite: every store is refused with the reason, so the
// program still runs and says plainly that no record is kept.
#include "core/platform/text_path.h"
#include "core/records/record_store.h"

namespace lumaflash::records {

namespace {

constexpr const char* kNoStore =
    " cannot be used: this build of Lumaflash was made without SQLite. Use a build with SQLite "
    "to keep records, or pass --records off";

Unexpected<RecordsError> NoStore() {
  return RecordsFailure("the record store" + std::string(kNoStore));
}

}  // namespace

RecordStore::RecordStore(sqlite3* db, std::filesystem::path path)
    : m_db(db), m_path(std::move(path)) {}

RecordStore::~RecordStore() = default;

RecordsResult<std::unique_ptr<RecordStore>> RecordStore::Open(const std::filesystem::path& path,
                                                              Mode) {
  return RecordsFailure("the record store " + platform::Utf8FromPath(path) + kNoStore);
}

RecordsResult<void> RecordStore::PrepareForWriting() {
  return NoStore();
}

RecordsResult<void> RecordStore::PrepareForReading() {
  return NoStore();
}

RecordsResult<void> RecordStore::Insert(const Record&, bool) {
  return NoStore();
}

RecordsResult<void> RecordStore::Begin(const Record&) {
  return NoStore();
}

RecordsResult<void> RecordStore::NoteProgress(const std::string&, int64_t, int64_t, int64_t) {
  return NoStore();
}

RecordsResult<void> RecordStore::Finish(const Record&) {
  return NoStore();
}

RecordsResult<void> RecordStore::Commit(const Record&) {
  return NoStore();
}

RecordsResult<std::vector<Record>> RecordStore::Find(const RecordFilter&) {
  return NoStore();
}

RecordsResult<std::vector<Record>> RecordStore::Unforwarded(std::size_t) {
  return NoStore();
}

RecordsResult<void> RecordStore::MarkForwarded(const std::vector<std::string>&) {
  return NoStore();
}

std::optional<std::size_t> RecordStore::CountUnforwarded() {
  return std::nullopt;
}

}  // namespace lumaflash::records
