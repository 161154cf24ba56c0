#include <ctime>

#include "core/settings/settings.h"

namespace lumaflash::settings {

// localtime_r, unlike localtime, keeps no shared buffer another thread could overwrite.
LocalDate TodayLocal() {
  const std::time_t now = std::time(nullptr);
  std::tm local{};
  localtime_r(&now, &local);
  return {local.tm_mday, local.tm_mon + 1, local.tm_year + 1900};
}

}  // namespace lumaflash::settings
