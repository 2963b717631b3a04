// The kernels on AVX-512: 16 messages at once, one in each 32-bit lane of a zmm register. They do
// the rounds in plain vector arithmetic, so they do not depend on the throughput of sha256rnds2,
// which is 2 cycles on some CPUs against 1 on others: on CPUs that also have the SHA extensions,
// which kernel is faster is measured (hash/sha256.cpp). They only do batches; single blocks, and
// batches too small to fill the lanes, go to the single-block kernel.
#if defined(__x86_64__)
#include <cpuid.h>
// GCC 12's AVX-512 intrinsics make their unused operands from a self-initialised variable, which
// its own -Wuninitialized then reports wherever they are inlined.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wuninitialized"
#if !defined(__clang__)
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
#endif
#include <immintrin.h>
#pragma GCC diagnostic pop

#include <algorithm>
#include <bit>

#include "hash/kernels.hpp"

namespace tolvane {
namespace {

// AVX-512F and BW, on a system that saves the opmask and zmm registers (XCR0 bits 1, 2 and 5 to
// 7). Asked of the CPU directly: not every compiler's runtime has __builtin_cpu_supports.
bool cpu_has_avx512() {
  unsigned a, b, c, d;
  if (!__get_cpuid(1, &a, &b, &c, &d) || !(c & (1u << 27))) return false;  // OSXSAVE
  unsigned xcr0, xcr0_high;
  asm("xgetbv" : "=a"(xcr0), "=d"(xcr0_high) : "c"(0));
  if ((xcr0 & 0xe6) != 0xe6) return false;
  if (!__get_cpuid_count(7, 0, &a, &b, &c, &d)) return false;
  return (b & (1u << 16)) && (b & (1u << 30));
}

#define WIDE_KERNEL __attribute__((target("avx512f,avx512bw")))
#define WIDE_INLINE WIDE_KERNEL __attribute__((always_inline)) inline

constexpr std::size_t kWideLanes = 16;
// Fewer messages than these are faster on the narrow kernels (measured): the SHA extensions take
// about as long on 8 messages of prepared blocks, or on 14 of which the schedule must be computed,
// as the wide kernels on 16.
constexpr std::size_t kWideFewestBlocks = 8, kWideFewestTails = 14;

// r[i] lane j goes to r[j] lane i.
WIDE_INLINE void transpose(__m512i* r) {
  __m512i t[16], u[16];
#pragma GCC unroll 8
  for (int i = 0; i < 16; i += 2) {
    t[i] = _mm512_unpacklo_epi32(r[i], r[i + 1]);
    t[i + 1] = _mm512_unpackhi_epi32(r[i], r[i + 1]);
  }
  // u[4g + c] holds, in its 128-bit lane k, column 4k + c of rows 4g .. 4g + 3.
#pragma GCC unroll 4
  for (int g = 0; g < 4; ++g) {
    const __m512i* p = t + 4 * g;
    u[4 * g] = _mm512_unpacklo_epi64(p[0], p[2]);
    u[4 * g + 1] = _mm512_unpackhi_epi64(p[0], p[2]);
    u[4 * g + 2] = _mm512_unpacklo_epi64(p[1], p[3]);
    u[4 * g + 3] = _mm512_unpackhi_epi64(p[1], p[3]);
  }
#pragma GCC unroll 4
  for (int c = 0; c < 4; ++c) {
    __m512i even01 = _mm512_shuffle_i32x4(u[c], u[4 + c], 0x88);
    __m512i odd01 = _mm512_shuffle_i32x4(u[c], u[4 + c], 0xdd);
    __m512i even23 = _mm512_shuffle_i32x4(u[8 + c], u[12 + c], 0x88);
    __m512i odd23 = _mm512_shuffle_i32x4(u[8 + c], u[12 + c], 0xdd);
    r[c] = _mm512_shuffle_i32x4(even01, even23, 0x88);
    r[4 + c] = _mm512_shuffle_i32x4(odd01, odd23, 0x88);
    r[8 + c] = _mm512_shuffle_i32x4(even01, even23, 0xdd);
    r[12 + c] = _mm512_shuffle_i32x4(odd01, odd23, 0xdd);
  }
}

// W[t] + K[t] of each lane, from a transposed schedule or, for a block common to all lanes, from
// one schedule broadcast.
struct LaneWords {
  const __m512i* wk;
  WIDE_INLINE __m512i at(int t) const { return _mm512_load_si512(wk + t); }
};
struct CommonWords {
  const std::uint32_t* wk;
  WIDE_INLINE __m512i at(int t) const { return _mm512_set1_epi32(static_cast<int>(wk[t])); }
};

// 16 blocks, one per lane, whose schedule is computed on the way. Called with t = 0, 1, ... 63.
struct LaneBlocks {
  __m512i w[16];  // W[t - 16 .. t - 1], in slots t % 16

  WIDE_INLINE explicit LaneBlocks(const std::uint8_t* const* blocks) {
#pragma GCC unroll 16
    for (std::size_t i = 0; i < kWideLanes; ++i) w[i] = _mm512_loadu_si512(blocks[i]);
    transpose(w);
    const __m512i swap = _mm512_set4_epi32(0x0c0d0e0f, 0x08090a0b, 0x04050607, 0x00010203);
#pragma GCC unroll 16
    for (int t = 0; t < 16; ++t) w[t] = _mm512_shuffle_epi8(w[t], swap);
  }
  WIDE_INLINE __m512i at(int t) {
    if (t >= 16) {
      const __m512i x = w[(t + 1) % 16], y = w[(t + 14) % 16];
      __m512i sigma0 = _mm512_ternarylogic_epi32(_mm512_ror_epi32(x, 7), _mm512_ror_epi32(x, 18),
                                                 _mm512_srli_epi32(x, 3), 0x96);
      __m512i sigma1 = _mm512_ternarylogic_epi32(_mm512_ror_epi32(y, 17), _mm512_ror_epi32(y, 19),
                                                 _mm512_srli_epi32(y, 10), 0x96);
      w[t % 16] = _mm512_add_epi32(_mm512_add_epi32(w[t % 16], sigma0),
                                   _mm512_add_epi32(w[(t + 9) % 16], sigma1));
    }
    return _mm512_add_epi32(w[t % 16], _mm512_set1_epi32(static_cast<int>(kRoundConstants[t])));
  }
};

// One compression of 16 states, h[0] = A .. h[7] = H.
template <class Words>
WIDE_INLINE void wide_compress(__m512i* h, Words words) {
  __m512i s[8];
#pragma GCC unroll 8
  for (int i = 0; i < 8; ++i) s[i] = h[i];
#pragma GCC unroll 64
  for (int t = 0; t < 64; ++t) {
    const __m512i a = s[0], b = s[1], c = s[2], e = s[4], f = s[5], g = s[6];
    // Truth tables of vpternlogd: 0x96 is a ^ b ^ c, 0xca is a ? b : c, 0xe8 the majority.
    __m512i sigma1 = _mm512_ternarylogic_epi32(_mm512_ror_epi32(e, 6), _mm512_ror_epi32(e, 11),
                                               _mm512_ror_epi32(e, 25), 0x96);
    __m512i t1 =
        _mm512_add_epi32(_mm512_add_epi32(s[7], words.at(t)),
                         _mm512_add_epi32(sigma1, _mm512_ternarylogic_epi32(e, f, g, 0xca)));
    __m512i sigma0 = _mm512_ternarylogic_epi32(_mm512_ror_epi32(a, 2), _mm512_ror_epi32(a, 13),
                                               _mm512_ror_epi32(a, 22), 0x96);
    __m512i t2 = _mm512_add_epi32(sigma0, _mm512_ternarylogic_epi32(a, b, c, 0xe8));
    s[7] = g;
    s[6] = f;
    s[5] = e;
    s[4] = _mm512_add_epi32(s[3], t1);
    s[3] = c;
    s[2] = b;
    s[1] = a;
    s[0] = _mm512_add_epi32(t1, t2);
  }
#pragma GCC unroll 8
  for (int i = 0; i < 8; ++i) h[i] = _mm512_add_epi32(h[i], s[i]);
}

// count <= 16 messages of finish_blocks: m prepared blocks each, then the common padding block.
// Lanes to spare repeat the last message.
WIDE_KERNEL void wide_blocks_group(std::size_t count, std::size_t m,
                                   const Sha256State* const* starts,
                                   const Sha256Block* const* blocks, const std::uint32_t* pad_wk,
                                   Digest* out) {
  __m512i r[16], h[8];
  alignas(64) __m512i wk[64];
  std::size_t message[kWideLanes];
  for (std::size_t i = 0; i < kWideLanes; ++i) message[i] = std::min(i, count - 1);
#pragma GCC unroll 16
  for (std::size_t i = 0; i < kWideLanes; ++i) {
    const __m256i* h0 = reinterpret_cast<const __m256i*>(starts[message[i]]->h);
    r[i] = _mm512_zextsi256_si512(_mm256_loadu_si256(h0));
  }
  transpose(r);
#pragma GCC unroll 8
  for (int i = 0; i < 8; ++i) h[i] = r[i];
  for (std::size_t j = 0; j < m; ++j) {
    for (int q = 0; q < 4; ++q) {
#pragma GCC unroll 16
      for (std::size_t i = 0; i < kWideLanes; ++i)
        r[i] = _mm512_loadu_si512(blocks[message[i] * m + j]->wk + 16 * q);
      transpose(r);
#pragma GCC unroll 16
      for (int t = 0; t < 16; ++t) wk[16 * q + t] = r[t];
    }
    wide_compress(h, LaneWords{wk});
  }
  wide_compress(h, CommonWords{pad_wk});
#pragma GCC unroll 16
  for (int i = 0; i < 16; ++i) r[i] = i < 8 ? h[i] : _mm512_setzero_si512();
  transpose(r);
  const __m256i swap = _mm256_set_epi64x(0x0c0d0e0f08090a0bLL, 0x0405060700010203LL,
                                         0x0c0d0e0f08090a0bLL, 0x0405060700010203LL);
  for (std::size_t i = 0; i < count; ++i) {
    _mm256_storeu_si256(reinterpret_cast<__m256i*>(out[i].data()),
                        _mm256_shuffle_epi8(_mm512_castsi512_si256(r[i]), swap));
  }
}

// One block of each of 16 messages; state[w][i] is word w of lane i.
WIDE_KERNEL void wide_tails_step(std::uint32_t (*state)[kWideLanes],
                                 const std::uint8_t* const* blocks) {
  __m512i h[8];
#pragma GCC unroll 8
  for (int w = 0; w < 8; ++w) h[w] = _mm512_load_si512(state[w]);
  wide_compress(h, LaneBlocks(blocks));
#pragma GCC unroll 8
  for (int w = 0; w < 8; ++w) _mm512_store_si512(state[w], h[w]);
}

// The schedule for the AVX-512 kernel on a CPU without the SHA extensions.
void portable_prepare(std::uint32_t* wk, const std::uint8_t* block) {
  std::uint32_t w[64];
  for (int t = 0; t < 16; ++t) {
    std::memcpy(&w[t], block + 4 * t, 4);
    w[t] = __builtin_bswap32(w[t]);
  }
  for (int t = 16; t < 64; ++t) {
    const std::uint32_t x = w[t - 15], y = w[t - 2];
    const std::uint32_t sigma0 = std::rotr(x, 7) ^ std::rotr(x, 18) ^ (x >> 3);
    const std::uint32_t sigma1 = std::rotr(y, 17) ^ std::rotr(y, 19) ^ (y >> 10);
    w[t] = w[t - 16] + sigma0 + w[t - 7] + sigma1;
  }
  for (int t = 0; t < 64; ++t) wk[t] = w[t] + kRoundConstants[t];
}

void wide_finish_blocks(std::size_t n, std::size_t m, const Sha256State* const* starts,
                        const Sha256Block* const* blocks, Digest* out) {
  const std::size_t rest = n % kWideLanes < kWideFewestBlocks ? n % kWideLanes : 0;
  if (rest < n) {
    std::uint8_t pad[64];
    pad_final(pad, nullptr, 0, starts[0]->length + 64 * m);
    std::uint32_t pad_wk[64];
    sha256_prepare_schedule(pad_wk, pad);
    for (std::size_t i = 0; i < n - rest; i += kWideLanes) {
      wide_blocks_group(std::min(kWideLanes, n - rest - i), m, starts + i, blocks + i * m, pad_wk,
                        out + i);
    }
  }
  if (rest == 0) return;
  const std::size_t i = n - rest;
  sha256_single_block_kernel().finish_blocks(rest, m, starts + i, blocks + i * m, out + i);
}

// The lanes' states for run_tail_lanes: state[w][i] is word w of lane i.
struct WideStates {
  alignas(64) std::uint32_t state[8][kWideLanes] = {};

  void load(std::size_t i, const Sha256State& s) {
    for (int w = 0; w < 8; ++w) state[w][i] = s.h[w];
  }
  // Lanes to spare hash lane 0's block again.
  void step(std::size_t k, const std::uint8_t** blocks) {
    for (std::size_t i = k; i < kWideLanes; ++i) blocks[i] = blocks[0];
    wide_tails_step(state, blocks);
  }
  void words(std::size_t i, std::uint32_t* h) const {
    for (int w = 0; w < 8; ++w) h[w] = state[w][i];
  }
  void store(std::size_t i, Digest& out) const {
    std::uint32_t h[8];
    words(i, h);
    digest_of(h, out);
  }
  void move(std::size_t to, std::size_t from) {
    for (int w = 0; w < 8; ++w) state[w][to] = state[w][from];
  }
};

// Once fewer than kWideFewestTails lanes have work, the messages still in flight are finished by
// the single-block kernel, so that one long message does not hold up 16 lanes.
void wide_finish_tails(std::size_t n, const Sha256State* const* starts,
                       const std::string_view* tails, Digest* out) {
  const Sha256Kernel& narrow = sha256_single_block_kernel();
  if (n < kWideFewestTails) return narrow.finish_tails(n, starts, tails, out);
  TailLane lanes[kWideLanes];
  WideStates states;
  const std::size_t active =
      run_tail_lanes<kWideLanes>(n, starts, tails, out, lanes, kWideFewestTails, states);
  // The rest, from where each message stands: its remaining bytes, or its last padded block.
  Sha256State rest[kWideFewestTails];
  const Sha256State* rest_starts[kWideFewestTails];
  std::string_view rest_tails[kWideFewestTails];
  std::size_t rest_messages[kWideFewestTails], k = 0;
  for (std::size_t i = 0; i < active; ++i) {
    TailLane& l = lanes[i];
    Sha256State s;
    states.words(i, s.h);
    if (l.padded_at > 0) {
      do {
        narrow.absorb(s, l.block());
      } while (l.advance());
      digest_of(s.h, out[l.message]);
      continue;
    }
    const std::string_view tail = tails[l.message];
    const std::size_t done =
        static_cast<std::size_t>(l.whole - reinterpret_cast<const std::uint8_t*>(tail.data()));
    s.length = starts[l.message]->length + done;
    rest[k] = s;
    rest_starts[k] = &rest[k];
    rest_tails[k] = tail.substr(done);
    rest_messages[k++] = l.message;
  }
  Digest digests[kWideFewestTails];
  narrow.finish_tails(k, rest_starts, rest_tails, digests);
  for (std::size_t j = 0; j < k; ++j) out[rest_messages[j]] = digests[j];
}

}  // namespace

const Sha256Kernel kAvx512Kernel{"avx512", cpu_has_avx512,     portable_prepare, nullptr,
                                 nullptr,  wide_finish_blocks, wide_finish_tails};

}  // namespace tolvane
#endif
