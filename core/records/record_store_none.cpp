// The record store of a build without SQLite: every store is refused with the reason, so the
// program still runs and says plainly that no record is kept.
#include "core/platform/text_path.h"
#include "core/records/questions.h"
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

RecordsResult<void> RecordStore::CommitAll(std::span<const Record>) {
  return NoStore();
}

RecordsResult<void> RecordStore::CheckForwardable(const std::filesystem::path& path) {
  return RecordsFailure("the record store " + platform::Utf8FromPath(path) + kNoStore);
}

RecordsResult<int64_t> RecordStore::ServerKey(const ServerIdentity&) {
  return NoStore();
}

RecordsResult<std::vector<ReadyRecord>> RecordStore::WaitingFor(int64_t, std::size_t) {
  return NoStore();
}

RecordsResult<std::vector<ReadyRecord>> RecordStore::RefusedBy(int64_t) {
  return NoStore();
}

RecordsResult<void> RecordStore::MarkForwarded(int64_t, const ForwardMark&) {
  return NoStore();
}

std::optional<std::size_t> RecordStore::CountWaiting(std::optional<int64_t>, const std::string&) {
  return std::nullopt;
}

RecordsResult<std::vector<Rejection>> RecordStore::Rejections() {
  return NoStore();
}

RecordsResult<void> RecordStore::ExportTo(const std::filesystem::path&) {
  return NoStore();
}

RecordsResult<std::unique_ptr<RecordQuestions>> LocalQuestions(const std::filesystem::path& path) {
  return RecordsFailure("the record store " + platform::Utf8FromPath(path) + kNoStore);
}

}  // namespace lumaflash::records
