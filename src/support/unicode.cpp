#include "support/unicode.hpp"

#include <utf8proc.h>

#include <cstdint>
#include <cstring>

namespace tolvane {

std::size_t decode_utf8(std::string_view utf8, char32_t& c) {
  utf8proc_int32_t cp = 0;
  auto n = utf8proc_iterate(reinterpret_cast<const utf8proc_uint8_t*>(utf8.data()),
                            static_cast<utf8proc_ssize_t>(utf8.size()), &cp);
  if (n <= 0) {
    c = 0xFFFD;
    return 1;
  }
  c = static_cast<char32_t>(cp);
  return static_cast<std::size_t>(n);
}

void append_utf8(std::string& out, char32_t c) {
  utf8proc_uint8_t buf[4];
  auto len = utf8proc_encode_char(static_cast<utf8proc_int32_t>(c), buf);
  out.append(reinterpret_cast<const char*>(buf), static_cast<std::size_t>(len));
}

bool is_valid_utf8(std::string_view bytes) {
  while (!bytes.empty()) {
    // ASCII runs are the common case, checked eight bytes at a time; only the rest goes through
    // the decoder.
    std::size_t ascii = 0;
    for (std::uint64_t word; bytes.size() - ascii >= sizeof word; ascii += sizeof word) {
      std::memcpy(&word, bytes.data() + ascii, sizeof word);
      if (word & 0x8080808080808080) break;
    }
    while (ascii < bytes.size() && static_cast<unsigned char>(bytes[ascii]) < 0x80) ++ascii;
    bytes.remove_prefix(ascii);
    if (bytes.empty()) break;
    char32_t c;
    std::size_t n = decode_utf8(bytes, c);
    if (c == 0xFFFD && n == 1) return false;
    bytes.remove_prefix(n);
  }
  return true;
}

std::string to_lower_full(std::string_view utf8) {
  std::string out;
  out.reserve(utf8.size());
  while (!utf8.empty()) {
    char32_t c;
    std::size_t n = decode_utf8(utf8, c);
    utf8.remove_prefix(n);
    // The only unconditional lower-case mapping to more than one character: U+0130 becomes
    // "i" followed by COMBINING DOT ABOVE. The simple mapping covers every other character.
    if (c == 0x130) {
      out += "i\xCC\x87";
      continue;
    }
    append_utf8(out, static_cast<char32_t>(utf8proc_tolower(static_cast<utf8proc_int32_t>(c))));
  }
  return out;
}

bool is_printable(char32_t c) {
  if (c == U' ') return true;
  switch (utf8proc_get_property(static_cast<utf8proc_int32_t>(c))->category) {
    case UTF8PROC_CATEGORY_CC:
    case UTF8PROC_CATEGORY_CF:
    case UTF8PROC_CATEGORY_CS:
    case UTF8PROC_CATEGORY_CO:
    case UTF8PROC_CATEGORY_CN:
    case UTF8PROC_CATEGORY_ZL:
    case UTF8PROC_CATEGORY_ZP:
    case UTF8PROC_CATEGORY_ZS:
      return false;
    default:
      return true;
  }
}

bool is_grapheme_extend(char32_t c) {
  // utf8proc's Extend boundary class also holds the emoji skin-tone modifiers, which are not
  // Grapheme_Extend.
  if (c >= 0x1F3FB && c <= 0x1F3FF) return false;
  return utf8proc_get_property(static_cast<utf8proc_int32_t>(c))->boundclass ==
         UTF8PROC_BOUNDCLASS_EXTEND;
}

}  // namespace tolvane
