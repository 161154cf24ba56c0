#include "core/records/server_uri.h"

namespace lumaflash::records {

// For now the URI goes to libpq as it is, which expands it.
Expected<ServerAddress, ServerUriError> ParseServerUri(const std::string& uri) {
  return ServerAddress{{{"dbname", uri}}, "the records server"};
}

}  // namespace lumaflash::records
