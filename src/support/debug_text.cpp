#include "support/debug_text.hpp"

#include <cstdio>

#include "support/unicode.hpp"

namespace tolvane {

void append_quoted(std::string& out, std::string_view text) {
  out += '"';
  while (!text.empty()) {
    char32_t c;
    std::size_t n = decode_utf8(text, c);
    std::string_view raw = text.substr(0, n);
    text.remove_prefix(n);
    switch (c) {
      case U'\t':
        out += "\\t";
        continue;
      case U'\r':
        out += "\\r";
        continue;
      case U'\n':
        out += "\\n";
        continue;
      case U'\0':
        out += "\\0";
        continue;
      case U'"':
        out += "\\\"";
        continue;
      case U'\\':
        out += "\\\\";
        continue;
      default:
        break;
    }
    if (!is_grapheme_extend(c) && is_printable(c)) {
      out += c == 0xFFFD ? std::string_view("\xEF\xBF\xBD") : raw;  // invalid bytes show as U+FFFD
    } else {
      char buf[16];
      int len = std::snprintf(buf, sizeof buf, "\\u{%x}", static_cast<unsigned>(c));
      out.append(buf, static_cast<std::size_t>(len));
    }
  }
  out += '"';
}

}  // namespace tolvane
