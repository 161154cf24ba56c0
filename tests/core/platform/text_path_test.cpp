#include <gtest/gtest.h>

#include <string>
#include <utility>

#include "core/platform/text_path.h"

namespace lumaflash::platform {
namespace {

// The one UTF-8 check serves the settings file (Windows: UTF-8 or the ANSI code page?) and the
// JSON output (which bytes become U+FFFD). Each row is a sequence at the start of the text.
TEST(Utf8, WellFormedSequencesOnly) {
  struct Case {
    const char* name;
    std::string text;
    std::size_t length;  // of the sequence at the start; 0: not well-formed
  };
  const Case cases[] = {
      {"ASCII", "A", 1},
      {"two bytes", "\xC3\xA9", 2},
      {"three bytes", "\xE2\x82\xAC", 3},
      {"four bytes, highest code point", "\xF4\x8F\xBF\xBF", 4},
      {"overlong two bytes", "\xC0\xAF", 0},
      {"overlong three bytes", "\xE0\x80\xAF", 0},
      {"overlong four bytes", "\xF0\x80\x80\xAF", 0},
      {"surrogate", "\xED\xA0\x80", 0},
      {"above U+10FFFF", "\xF4\x90\x80\x80", 0},
      {"lone continuation byte", "\x80", 0},
      {"cut short", "\xE2\x82", 0},
      {"bad third byte", "\xE2\x82\x41", 0},
      {"no lead byte", "\xFF", 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(Utf8SequenceLength(c.text), c.length);
    EXPECT_EQ(IsValidUtf8(c.text + "ok"), c.length != 0);
  }
  EXPECT_TRUE(IsValidUtf8(""));
  EXPECT_EQ(Utf8SequenceLength(""), 0u);
}

// Control characters of hostile text become \xNN in the one hex spelling; the rest stays.
TEST(Utf8, ControlCharactersAreEscapedInHex) {
  const std::pair<std::string, std::string> cases[] = {
      {"ok", "ok"}, {std::string("a\0b", 3), "a\\x00b"}, {"\x1f\x7f\x80", "\\x1f\\x7f\x80"}};
  for (const auto& [text, escaped] : cases) {
    EXPECT_EQ(EscapeControls(text), escaped);
  }
}

}  // namespace
}  // namespace lumaflash::platform
