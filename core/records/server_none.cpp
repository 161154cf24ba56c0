// The build for a system without libpq: records stay in the local store, and a server is
// refused with the reason.
#include "core/records/questions.h"
#include "core/records/server.h"
#include "core/records/server_uri.h"

namespace lumaflash::records {

namespace {

constexpr const char* kNoServer =
    "this build of Lumaflash forwards no records (made without PostgreSQL's libpq): the records "
    "stay in the local store";

}  // namespace

Expected<ServerAddress, ServerUriError> ParseServerUri(const std::string&) {
  return MakeUnexpected(ServerUriError{kNoServer});
}

struct ServerLink::Link {};

ServerLink::ServerLink(std::string uri) : m_uri(std::move(uri)) {}

ServerLink::~ServerLink() = default;

ForwardReport ServerLink::Forward(RecordStore&, const WaitLimit&, bool) {
  return ForwardReport{0, {}, {}, RecordsError{kNoServer}};
}

std::optional<std::size_t> ServerLink::CountWaiting(RecordStore& store) {
  return store.CountWaiting(std::nullopt, "");
}

RecordsResult<std::unique_ptr<RecordQuestions>> ServerQuestions(const std::string&) {
  return RecordsFailure(kNoServer);
}

}  // namespace lumaflash::records
