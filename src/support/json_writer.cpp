#include "support/json_writer.hpp"

#include "support/json_text.hpp"

namespace tolvane {
namespace {

char* write_escape(char* to, unsigned char c) {
  static constexpr char kHex[] = "0123456789abcdef";
  *to++ = '\\';
  switch (c) {
    case '"':
    case '\\':
      *to++ = static_cast<char>(c);
      return to;
    case '\b':
      *to++ = 'b';
      return to;
    case '\t':
      *to++ = 't';
      return to;
    case '\n':
      *to++ = 'n';
      return to;
    case '\f':
      *to++ = 'f';
      return to;
    case '\r':
      *to++ = 'r';
      return to;
    default: {
      const char code[] = {'u', '0', '0', kHex[c >> 4], kHex[c & 0xf]};
      return write_raw(to, {code, sizeof code});
    }
  }
}

}  // namespace

char* write_json_string(char* to, std::string_view text) {
  *to++ = '"';
  while (!text.empty()) {
    const std::size_t plain = plain_run(text.data(), text.size());
    to = write_raw(to, text.substr(0, plain));
    if (plain == text.size()) break;
    to = write_escape(to, static_cast<unsigned char>(text[plain]));
    text.remove_prefix(plain + 1);
  }
  *to++ = '"';
  return to;
}

void append_json_string(std::string& out, std::string_view text) {
  const std::size_t at = out.size();
  out.resize(at + json_string_bound(text.size()));
  out.resize(static_cast<std::size_t>(write_json_string(out.data() + at, text) - out.data()));
}

}  // namespace tolvane
