#include <windows.h>

#include "core/serial/port_advice.h"

namespace lumaflash::serial {

std::string SystemErrorText(int osError) {
  char* text = nullptr;
  const DWORD length = FormatMessageA(
      FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
      nullptr, static_cast<DWORD>(osError), 0, reinterpret_cast<char*>(&text), 0, nullptr);
  std::string message = length > 0 && text != nullptr ? std::string(text, length) : std::string();
  LocalFree(text);
  while (!message.empty() && (message.back() == '\n' || message.back() == '\r' ||
                              message.back() == ' ' || message.back() == '.')) {
    message.pop_back();
  }
  return message.empty() ? "error " + std::to_string(static_cast<DWORD>(osError)) : message;
}

std::string_view NoSuchPortChecks() {
  return "Check the cable, that the device is in bootloader mode and that the Device Manager "
         "lists the port under \"Ports (COM & LPT)\"";
}

std::string_view LikelyHolders() {
  return " (a terminal program, or another Lumaflash)";
}

std::string_view HolderAdvice() {
  return {};
}

std::string AccessDeniedWords(int osError) {
  return "access denied (" + SystemErrorText(osError) + ")";
}

std::string AccessDeniedAdvice(const std::string& path) {
  (void)path;
  return "Ask your administrator for access to the port.";
}

}  // namespace lumaflash::serial
