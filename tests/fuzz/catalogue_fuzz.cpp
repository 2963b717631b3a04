// Feeds arbitrary bytes to the catalogue reader. Besides not crashing, whatever it accepts must
// write back and read again as equal primitives.
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "catalogue.hpp"
#include "support/json_reader.hpp"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using namespace tolvane;
  std::string_view text(reinterpret_cast<const char*>(data), size);
  try {
    auto primitives = parse_primitive_catalogue(text);
    std::string written = "[";
    for (std::size_t i = 0; i < primitives.size(); ++i) {
      if (i) written += ',';
      append_primitive_json(written, *primitives[i]);
    }
    written += ']';
    auto again = parse_primitive_catalogue(written);
    if (again.size() != primitives.size()) __builtin_trap();
    for (std::size_t i = 0; i < again.size(); ++i) {
      if (!(*again[i] == *primitives[i])) __builtin_trap();
    }
  } catch (const JsonError& e) {
    if (e.line() == 0) __builtin_trap();
    (void)e.debug_text();
  }
  return 0;
}
