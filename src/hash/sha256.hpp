#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace tolvane {

using Digest = std::array<std::uint8_t, 32>;  // raw digest, first byte first

// Incremental SHA-256 (OpenSSL's). Copying a Sha256 copies the running state: absorb a common
// prefix once, then copy the object per message that shares it.
class Sha256 {
 public:
  static constexpr std::size_t kHexLength = 64;

  Sha256();
  Sha256(const Sha256&) = default;
  Sha256& operator=(const Sha256&) = default;

  void update(std::string_view bytes);
  Digest finish();
  // Writes the digest as 64 lower-case hexadecimal digits, first byte first.
  void finish_hex(char* out);

 private:
  alignas(8) unsigned char state_[112];
};

std::string sha256_hex(std::string_view bytes);

// Batch hashing for the hot paths. Many messages share a prefix of whole blocks; the state after
// that prefix is kept, and the batch functions finish several messages at once, interleaved, where
// the CPU has the SHA extensions or AVX-512 (OpenSSL's code finishes one message at a time). Which
// code runs them is hash/kernels.hpp's business.

// The state after whole 64-byte blocks.
struct Sha256State {
  std::uint32_t h[8];
  std::uint64_t length;  // bytes absorbed, a multiple of 64
};

Sha256State sha256_start();                                     // the initial value, length 0
void sha256_absorb(Sha256State& s, const std::uint8_t* block);  // one 64-byte block

// A block prepared for repeated use: its message schedule is computed once.
struct alignas(16) Sha256Block {
  std::uint32_t wk[64];  // W[t] + K[t]; filled only where the CPU has SHA extensions or AVX-512
  std::uint8_t bytes[64];
};
void sha256_prepare(Sha256Block& out, const std::uint8_t* block);
void sha256_absorb(Sha256State& s, const Sha256Block& block);

// n messages of one shape: message i continues from *starts[i], absorbs blocks[i*m] ..
// blocks[i*m + m - 1], then the padding for its total length. All starts of one call must have
// the same length (a Panic otherwise); their states may differ.
void sha256_finish_blocks(std::size_t n, std::size_t m, const Sha256State* const* starts,
                          const Sha256Block* const* blocks, Digest* out);

// n messages of any lengths: message i is *starts[i] followed by the bytes tails[i].
void sha256_finish_tails(std::size_t n, const Sha256State* const* starts,
                         const std::string_view* tails, Digest* out);

// 64 lower-case hexadecimal digits of a digest, first byte first.
void hex_digest(const Digest& d, char* out);

}  // namespace tolvane
