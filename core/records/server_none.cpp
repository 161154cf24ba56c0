// The build for a system without libpq: records stay in the local store, and a server is
// refused with the reason.
#include "core/records/server.h"

namespace lumaflash::records {

namespace {

constexpr const char* kNoServer =
    "this build of Lumaflash forwards no records (made without PostgreSQL's libpq): the records "
    "stay in the local store; forward them with lumaflash-cli records sync on Linux";

}  // namespace

bool ForwardWaiting(RecordStore&, const std::string&, std::size_t&, std::string& error) {
  error = kNoServer;
  return false;
}

bool FindOnServer(const std::string&, const RecordFilter&, std::vector<Record>&,
                  std::string& error) {
  error = kNoServer;
  return false;
}

}  // namespace lumaflash::records
