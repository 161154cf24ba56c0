#include <cstdio>

#include "cli/exit_codes.h"
#include "cli/udev_rule.h"

namespace lumaflash::cli {

int InstallUdevRules(const std::vector<serial::UsbMatch>& ids) {
  (void)ids;
  std::fprintf(stderr,
               "lumaflash-cli: udev rules belong to Linux; Windows needs none (a COM port is open "
               "to every user). Run udev-rule --install on the Linux station.\n");
  return kExitFailure;
}

}  // namespace lumaflash::cli
