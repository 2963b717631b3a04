#include <gtest/gtest.h>

#include "support/debug_text.hpp"
#include "support/unicode.hpp"

namespace tolvane {
namespace {

TEST(Utf8Validation, RejectsMalformedSequences) {
  EXPECT_TRUE(is_valid_utf8("plain \xC3\xA9 \xF0\x9F\x98\x80 \xEF\xBF\xBD"));
  EXPECT_FALSE(is_valid_utf8("\xC3"));
  EXPECT_FALSE(is_valid_utf8("\xC0\x80"));          // overlong
  EXPECT_FALSE(is_valid_utf8("\xED\xA0\x80"));      // surrogate
  EXPECT_FALSE(is_valid_utf8("\xF4\x90\x80\x80"));  // beyond U+10FFFF
  EXPECT_FALSE(is_valid_utf8("ok\xFF"));
  // ASCII is checked many bytes at a time: a bad byte is found wherever it falls.
  for (std::size_t size = 0; size <= 24; ++size) {
    std::string text(size, 'a');
    EXPECT_TRUE(is_valid_utf8(text));
    for (std::size_t at = 0; at < size; ++at) {
      text[at] = '\x80';
      EXPECT_FALSE(is_valid_utf8(text)) << at << " of " << size;
      text[at] = 'a';
    }
  }
}

TEST(DebugText, QuotesAndEscapes) {
  std::string out;
  append_quoted(out, std::string("a\"\\\t\r\n\0'", 8));
  EXPECT_EQ(out, R"("a\"\\\t\r\n\0'")");
  out.clear();
  // combining acute, zero-width space (Cf), no-break space (Zs), private use, emoji, skin tone
  append_quoted(out,
                "e\xCC\x81|\xE2\x80\x8B|\xC2\xA0|\xEE\x80\x80|\xF0\x9F\x98\x80|\xF0\x9F\x8F\xBB| ");
  EXPECT_EQ(out, "\"e\\u{301}|\\u{200b}|\\u{a0}|\\u{e000}|\xF0\x9F\x98\x80|\xF0\x9F\x8F\xBB| \"");
}

}  // namespace
}  // namespace tolvane
