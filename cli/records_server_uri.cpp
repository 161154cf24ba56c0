// The records server URI, checked before a command sends anything.
#include <cstdio>

#include "cli/commands.h"
#include "cli/exit_codes.h"
#include "core/records/server_uri.h"

namespace lumaflash::cli {

int RefuseUnusableServer(const std::string& uri) {
  if (uri.empty()) {
    return kExitOk;
  }
  auto address = records::ParseServerUri(uri);
  if (address) {
    return kExitOk;
  }
  std::fprintf(stderr, "lumaflash-cli: %s.\n", records::Describe(address.error()).c_str());
  return kExitUsage;
}

}  // namespace lumaflash::cli
