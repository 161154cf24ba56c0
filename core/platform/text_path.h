#pragma once

#include <filesystem>
#include <string>
#include <string_view>
#include <vector>

// Text crosses the operating system's boundary here. Inside the program every text, paths
// included, is UTF-8; Windows names files in UTF-16 and keeps narrow settings text in its ANSI
// code page, POSIX systems take the bytes as they are.
namespace lumaflash::platform {

// The path that the UTF-8 text names. On Windows a byte that is not UTF-8 becomes U+FFFD.
std::filesystem::path PathFromUtf8(std::string_view text);
// The path as UTF-8 text, for messages, the settings file and comparisons.
std::string Utf8FromPath(const std::filesystem::path& path);

// The program's arguments after its name, as UTF-8. Windows: read from the UTF-16 command line,
// so names outside the ANSI code page arrive whole; elsewhere `argv` as it is.
std::vector<std::string> Utf8Arguments(int argc, char** argv);
// Makes a console show the UTF-8 the program prints (Windows); does nothing elsewhere.
void UseUtf8Console();

// A settings value as the program reads it: text that is valid UTF-8 is taken as it is, other
// bytes were written in the system's ANSI code page (Windows) and are converted.
std::string Utf8FromSettingsText(std::string_view text);
// A value as it goes into the settings file: in the ANSI code page when that can hold every
// character (Windows), UTF-8 otherwise.
std::string SettingsTextFromUtf8(std::string_view text);

// The length of the well-formed UTF-8 sequence at the start of `text`: 1 for ASCII, 2 to 4, or
// 0 when it is not one (a stray or missing continuation byte, an overlong form, a surrogate, a
// code point above U+10FFFF, or no text at all).
std::size_t Utf8SequenceLength(std::string_view text);

// True when `text` is well-formed UTF-8 (shortest forms, no surrogates, at most U+10FFFF).
bool IsValidUtf8(std::string_view text);

// `text` with each byte that does not belong to a well-formed UTF-8 sequence replaced by
// U+FFFD, one per byte, so the reader sees how many were lost.
std::string WellFormedUtf8(std::string_view text);

// `text` safe to show on a terminal or in a list: each control character (below U+0020, and
// U+007F) is written as \xHH (ESC as \x1b), so text from a device or a file name cannot move
// the cursor, clear the screen or retitle the terminal.
std::string EscapeControls(std::string_view text);

}  // namespace lumaflash::platform
