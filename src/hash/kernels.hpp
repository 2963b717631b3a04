#pragma once
// The kernels behind the batch functions of hash/sha256.hpp, one file per family: OpenSSL (the
// reference and the fallback, every CPU), the SHA extensions and AVX-512 (x86-64). Each family
// describes itself by one Sha256Kernel; hash/sha256.cpp holds their table, picks one on first use
// and dispatches to it. What the families share lives here: the round constants, the padding, and
// the lanes of finish_tails.

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <span>
#include <string_view>

#include "hash/sha256.hpp"

namespace tolvane {

struct Sha256Kernel {
  const char* name;
  bool (*supported)();  // whether this CPU can run it: asks the CPU, so not for hot paths
  // Computes W[t] + K[t] of a block, or nullptr where the kernel reads prepared blocks' bytes.
  void (*prepare)(std::uint32_t* wk, const std::uint8_t* block);
  // Single blocks; nullptr where the kernel only does batches, and hash/sha256.cpp hands single
  // blocks (and batches too small to be worth it) to sha256_single_block_kernel().
  void (*absorb)(Sha256State& s, const std::uint8_t* block);
  void (*absorb_prepared)(Sha256State& s, const Sha256Block& block);
  void (*finish_blocks)(std::size_t n, std::size_t m, const Sha256State* const* starts,
                        const Sha256Block* const* blocks, Digest* out);
  void (*finish_tails)(std::size_t n, const Sha256State* const* starts,
                       const std::string_view* tails, Digest* out);
};

extern const Sha256Kernel kOpensslKernel;
#if defined(__x86_64__)
extern const Sha256Kernel kShaExtensionsKernel, kAvx512Kernel;
#endif

// Every kernel, in order of preference; the last, OpenSSL, runs on every CPU.
std::span<const Sha256Kernel* const> sha256_kernels();
// The kernel the batch functions run: chosen on first use (where several could, by timing them).
const Sha256Kernel& sha256_kernel();
// Switches kernels, for tests and benchmarks. Returns false, and changes nothing, for a kernel
// this CPU cannot run.
bool use_sha256_kernel(const Sha256Kernel& kernel);
// The first supported kernel with single-block code of its own.
const Sha256Kernel& sha256_single_block_kernel();
// W[t] + K[t] of a block by the first supported kernel that computes them; nothing where none
// does. Not tied to the current kernel, so that a prepared block stays usable after a switch.
void sha256_prepare_schedule(std::uint32_t* wk, const std::uint8_t* block);

alignas(16) inline constexpr std::uint32_t kRoundConstants[64] = {
    0x428a2f98, 0x71374491, 0xb5c0fbcf, 0xe9b5dba5, 0x3956c25b, 0x59f111f1, 0x923f82a4, 0xab1c5ed5,
    0xd807aa98, 0x12835b01, 0x243185be, 0x550c7dc3, 0x72be5d74, 0x80deb1fe, 0x9bdc06a7, 0xc19bf174,
    0xe49b69c1, 0xefbe4786, 0x0fc19dc6, 0x240ca1cc, 0x2de92c6f, 0x4a7484aa, 0x5cb0a9dc, 0x76f988da,
    0x983e5152, 0xa831c66d, 0xb00327c8, 0xbf597fc7, 0xc6e00bf3, 0xd5a79147, 0x06ca6351, 0x14292967,
    0x27b70a85, 0x2e1b2138, 0x4d2c6dfc, 0x53380d13, 0x650a7354, 0x766a0abb, 0x81c2c92e, 0x92722c85,
    0xa2bfe8a1, 0xa81a664b, 0xc24b8b70, 0xc76c51a3, 0xd192e819, 0xd6990624, 0xf40e3585, 0x106aa070,
    0x19a4c116, 0x1e376c08, 0x2748774c, 0x34b0bcb5, 0x391c0cb3, 0x4ed8aa4a, 0x5b9cca4f, 0x682e6ff3,
    0x748f82ee, 0x78a5636f, 0x84c87814, 0x8cc70208, 0x90befffa, 0xa4506ceb, 0xbef9a3f7, 0xc67178f2};

// The padded final block(s) of a message whose last `rem` (< 64) bytes are `tail` and whose total
// length is `total` bytes. Returns the number of blocks written to `out` (1 or 2).
inline std::size_t pad_final(std::uint8_t* out, const std::uint8_t* tail, std::size_t rem,
                             std::uint64_t total) {
  const std::size_t blocks = rem < 56 ? 1 : 2;
  // Constant sizes, so that the compiler writes the zeros inline.
  blocks == 1 ? std::memset(out, 0, 64) : std::memset(out, 0, 128);
  if (rem) std::memcpy(out, tail, rem);
  out[rem] = 0x80;
  const std::uint64_t bits = __builtin_bswap64(total * 8);
  std::memcpy(out + 64 * blocks - 8, &bits, 8);
  return blocks;
}

// The digest of the state words h[0] .. h[7].
inline void digest_of(const std::uint32_t* h, Digest& out) {
  for (int w = 0; w < 8; ++w) {
    const std::uint32_t big = __builtin_bswap32(h[w]);
    std::memcpy(out.data() + 4 * w, &big, 4);
  }
}

// One message of finish_tails, a block at a time: the whole blocks of its tail, then its padded
// final block(s).
struct TailLane {
  const std::uint8_t* whole;  // the whole blocks of the tail not yet absorbed
  std::size_t whole_left;
  std::size_t padded_at, padded_count;  // the padded final blocks, in `padded`
  std::size_t message;
  alignas(16) std::uint8_t padded[128];

  void begin(std::size_t i, const Sha256State& start, std::string_view tail) {
    whole = reinterpret_cast<const std::uint8_t*>(tail.data());
    whole_left = tail.size() / 64;
    padded_at = 0;
    padded_count =
        pad_final(padded, whole + 64 * whole_left, tail.size() % 64, start.length + tail.size());
    message = i;
  }
  const std::uint8_t* block() const { return whole_left ? whole : padded + 64 * padded_at; }
  // Moves past the block just absorbed; false once the message is complete.
  bool advance() {
    if (whole_left) {
      whole += 64;
      --whole_left;
    } else {
      ++padded_at;
    }
    return whole_left || padded_at < padded_count;
  }
};

// Runs finish_tails on Width lanes, each at its own block of its own message; a lane whose
// message is done takes the next one, so messages of mixed lengths keep every lane busy. Stops
// once all messages are done or fewer than `fewest` lanes have work, and returns how many lanes
// still have work (lanes[0] onwards). `states` holds the lanes' states in the kernel's own form:
//   load(i, start)            lane i starts from a saved state
//   step(k, blocks)           lanes 0 .. k - 1 absorb blocks[0 .. k - 1]
//   store(i, digest)          lane i's state is final
//   move(to, from)            lane `from` moves into slot `to`
template <std::size_t Width, class States>
std::size_t run_tail_lanes(std::size_t n, const Sha256State* const* starts,
                           const std::string_view* tails, Digest* out, TailLane* lanes,
                           std::size_t fewest, States& states) {
  const std::uint8_t* blocks[Width];
  std::size_t next = 0, active = 0;
  auto begin = [&](std::size_t i) {
    lanes[i].begin(next, *starts[next], tails[next]);
    states.load(i, *starts[next]);
    ++next;
  };
  for (; active < Width && next < n; ++active) begin(active);
  while (active > 0 && active >= fewest) {
    for (std::size_t i = 0; i < active; ++i) blocks[i] = lanes[i].block();
    states.step(active, blocks);
    for (std::size_t i = 0; i < active;) {
      TailLane& l = lanes[i];
      if (l.advance()) {
        ++i;
        continue;
      }
      states.store(i, out[l.message]);
      if (next < n) {
        begin(i++);
      } else if (i != --active) {  // keep the lanes with work first
        lanes[i] = lanes[active];
        states.move(i, active);
      }
    }
  }
  return active;
}

}  // namespace tolvane
