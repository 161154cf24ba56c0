#include <windows.h>

#include "core/settings/settings.h"

namespace lumaflash::settings {

// The date as the machine's clock and time zone show it to the user.
LocalDate TodayLocal() {
  SYSTEMTIME local{};
  GetLocalTime(&local);
  return {local.wDay, local.wMonth, local.wYear};
}

}  // namespace lumaflash::settings
