// The build for a system without libpq: records stay in the local store, and a server is
// refused with the reason.
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

ForwardReport ForwardWaiting(RecordStore&, const std::string&) {
  return ForwardReport{0, RecordsError{kNoServer}};
}

RecordsResult<std::vector<Record>> FindOnServer(const std::string&, const RecordFilter&) {
  return RecordsFailure(kNoServer);
}

}  // namespace lumaflash::records
