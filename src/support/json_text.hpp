#pragma once

#include <algorithm>
#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>

namespace tolvane {

// The bytes a JSON string holds as they are: all but '"', '\' and the control characters below
// 0x20. Most text (names, ids, keys) is nothing else, so it is scanned sixteen bytes at a time,
// one vector compare finding that out for all of them.
namespace json_text_detail {

using Bytes = std::uint8_t __attribute__((vector_size(16)));
static_assert(std::endian::native == std::endian::little, "the first byte is the lowest");

// The index of the first byte of `v` that is not plain, or 16.
inline std::size_t first_not_plain(Bytes v) {
  const auto hits = (v < 0x20) | (v == '"') | (v == '\\');  // all ones where not plain
  std::uint64_t half[2];
  std::memcpy(half, &hits, sizeof half);
  if (half[0]) return static_cast<std::size_t>(std::countr_zero(half[0]) / 8);
  if (half[1]) return static_cast<std::size_t>(8 + std::countr_zero(half[1]) / 8);
  return sizeof(Bytes);
}

}  // namespace json_text_detail

// How many bytes from `from` on, of the `size` there, are plain.
inline std::size_t plain_run(const char* from, std::size_t size) {
  using namespace json_text_detail;
  std::size_t done = 0;
  for (; size - done >= sizeof(Bytes); done += sizeof(Bytes)) {
    Bytes v;
    std::memcpy(&v, from + done, sizeof v);
    if (std::size_t i = first_not_plain(v); i < sizeof v) return done + i;
  }
  if (done == size) return size;
  // The last few bytes, padded with spaces, which are plain.
  Bytes v = Bytes{} + ' ';
  std::memcpy(&v, from + done, size - done);
  return done + std::min(first_not_plain(v), size - done);
}

}  // namespace tolvane
