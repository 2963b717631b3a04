#pragma once

#include <string>
#include <string_view>

namespace tolvane {

// Every use of Unicode character data lives behind these functions.

// Full lower-case mapping of UTF-8 text (a character may become several).
std::string to_lower_full(std::string_view utf8);

// Printable: not a control, format, surrogate, private-use, unassigned or separator character,
// except the plain space.
bool is_printable(char32_t c);

// Grapheme_Extend: combining marks and the like, which join the character before them.
bool is_grapheme_extend(char32_t c);

// Decodes the code point at the front of `utf8` into `c` and returns its length in bytes; an
// invalid sequence yields U+FFFD and length 1.
std::size_t decode_utf8(std::string_view utf8, char32_t& c);

// Appends the UTF-8 encoding of `c`, a code point that is not a surrogate.
void append_utf8(std::string& out, char32_t c);

// Well-formed UTF-8: no overlong forms, surrogates or code points beyond U+10FFFF.
bool is_valid_utf8(std::string_view bytes);

}  // namespace tolvane
