#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace tolvane {

// Incremental SHA-256 (hardware-accelerated where the CPU offers it). Copying a Sha256 copies the
// running state: absorb a common prefix once, then copy the object per message that shares it.
class Sha256 {
 public:
  static constexpr std::size_t kHexLength = 64;

  Sha256();
  Sha256(const Sha256&) = default;
  Sha256& operator=(const Sha256&) = default;

  void update(std::string_view bytes);
  // Writes the digest as 64 lower-case hexadecimal digits, first byte first.
  void finish_hex(char* out);

 private:
  alignas(8) unsigned char state_[112];
};

std::string sha256_hex(std::string_view bytes);

}  // namespace tolvane
