#include "core/serial/access_advice.h"

namespace lumaflash::serial {

std::string AccessDeniedAdvice(const std::string& path) {
  (void)path;
  return "Ask your administrator for access to the port.";
}

}  // namespace lumaflash::serial
