#pragma once

#include <string>
#include <string_view>

// Windows only: its calls take UTF-16, the program keeps UTF-8. The one place that converts.
namespace lumaflash::platform {

// A byte that is not UTF-8 becomes U+FFFD.
std::wstring WideFromUtf8(std::string_view text);
// Stops at the first L'\0' only when the view holds one; unpaired surrogates become U+FFFD.
std::string Utf8FromWide(std::wstring_view wide);

}  // namespace lumaflash::platform
