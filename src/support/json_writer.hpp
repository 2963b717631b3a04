#pragma once

#include <cstddef>
#include <cstring>
#include <string>
#include <string_view>

namespace tolvane {

// JSON text is written straight into memory reserved for it: a writer is given room for the most
// it can write and returns where it stopped.

// The most a JSON string of `size` bytes of text takes: quotes, and six bytes a byte (\u00xx).
constexpr std::size_t json_string_bound(std::size_t size) { return 2 + 6 * size; }

// Writes `text` as a JSON string: '"' and '\' escaped, \b \t \n \f \r by letter, other control
// characters as \u00xx (lower-case hex), everything else as its UTF-8 bytes.
char* write_json_string(char* to, std::string_view text);

// Copies `text`, which needs no escaping (fixed punctuation, hex digits, type names).
inline char* write_raw(char* to, std::string_view text) {
  std::memcpy(to, text.data(), text.size());
  return to + text.size();
}

// Appends `text` as a JSON string.
void append_json_string(std::string& out, std::string_view text);

}  // namespace tolvane
