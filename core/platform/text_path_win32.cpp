#include <windows.h>
// After windows.h, which it needs.
#include <shellapi.h>

#include "core/platform/text_path.h"
#include "core/platform/wide_text.h"

namespace lumaflash::platform {

namespace {

std::wstring Widen(std::string_view text, UINT codePage) {
  if (text.empty()) {
    return {};
  }
  const int size = static_cast<int>(text.size());
  const int length = MultiByteToWideChar(codePage, 0, text.data(), size, nullptr, 0);
  std::wstring wide(static_cast<std::size_t>(length), L'\0');
  MultiByteToWideChar(codePage, 0, text.data(), size, wide.data(), length);
  return wide;
}

// `usedDefault` (ANSI only) tells whether a character had no place in the code page; without
// WC_NO_BEST_FIT_CHARS Windows would quietly turn "Ω" into "O" and "ł" into "l".
std::string Narrow(std::wstring_view wide, UINT codePage, BOOL* usedDefault) {
  if (wide.empty()) {
    return {};
  }
  const DWORD flags = codePage == CP_UTF8 ? 0 : WC_NO_BEST_FIT_CHARS;
  const int size = static_cast<int>(wide.size());
  const int length =
      WideCharToMultiByte(codePage, flags, wide.data(), size, nullptr, 0, nullptr, usedDefault);
  std::string text(static_cast<std::size_t>(length), '\0');
  WideCharToMultiByte(codePage, flags, wide.data(), size, text.data(), length, nullptr,
                      usedDefault);
  return text;
}

}  // namespace

std::wstring WideFromUtf8(std::string_view text) {
  return Widen(text, CP_UTF8);
}

std::string Utf8FromWide(std::wstring_view wide) {
  return Narrow(wide, CP_UTF8, nullptr);
}

std::filesystem::path PathFromUtf8(std::string_view text) {
  return std::filesystem::path(Widen(text, CP_UTF8));
}

std::string Utf8FromPath(const std::filesystem::path& path) {
  return Utf8FromWide(path.native());
}

std::vector<std::string> Utf8Arguments(int /*argc*/, char** /*argv*/) {
  // The narrow argv has passed through the ANSI code page already and lost what it cannot hold.
  int count = 0;
  LPWSTR* wide = CommandLineToArgvW(GetCommandLineW(), &count);
  std::vector<std::string> arguments;
  for (int i = 1; wide != nullptr && i < count; ++i) {
    arguments.push_back(Utf8FromWide(wide[i]));
  }
  LocalFree(static_cast<HLOCAL>(wide));
  return arguments;
}

void UseUtf8Console() {
  SetConsoleOutputCP(CP_UTF8);
}

std::string Utf8FromSettingsText(std::string_view text) {
  if (IsValidUtf8(text)) {
    return std::string(text);
  }
  return Utf8FromWide(Widen(text, CP_ACP));
}

std::string SettingsTextFromUtf8(std::string_view text) {
  if (!IsValidUtf8(text)) {
    return std::string(text);
  }
  BOOL lost = FALSE;
  std::string ansi = Narrow(Widen(text, CP_UTF8), CP_ACP, &lost);
  // ANSI bytes that happen to form other UTF-8 would be read back as that: keep UTF-8 then too.
  const bool misread = ansi != text && IsValidUtf8(ansi);
  return lost || misread ? std::string(text) : ansi;
}

}  // namespace lumaflash::platform
