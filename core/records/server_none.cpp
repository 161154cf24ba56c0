// The build for a system without libpq: records stay in the local store, and a server is
// refused with the reason.
#include "core/records/questions.h"
#include "core/records/server.h"

namespace lumaflash::records {

namespace {

constexpr const char* kNoServer =
    "this build of Lumaflash forwards no records (made without PostgreSQL's libpq): the records "
    "stay in the local store; forward them with lumaflash-cli records sync on Linux";

}  // namespace

ForwardReport ForwardWaiting(RecordStore&, const std::string&) {
  return ForwardReport{0, RecordsError{kNoServer}};
}

RecordsResult<std::unique_ptr<RecordQuestions>> ServerQuestions(const std::string&) {
  return RecordsFailure(kNoServer);
}

}  // namespace lumaflash::records
