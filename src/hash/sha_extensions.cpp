// The kernels on the SHA extensions of x86-64 (sha256rnds2 and the message instructions).
// OpenSSL finishes one message at a time, bound by the latency of sha256rnds2; these interleave
// independent messages so that the unit is kept busy, and take message schedules that the caller
// has computed once per block (Sha256Block) where it reuses blocks.
#if defined(__x86_64__)
#include <cpuid.h>
#include <immintrin.h>

#include "hash/kernels.hpp"

namespace tolvane {
namespace {

bool cpu_has_extensions() {
  unsigned a, b, c, d;
  if (!__get_cpuid(1, &a, &b, &c, &d)) return false;
  bool ssse3 = c & (1u << 9), sse41 = c & (1u << 19);
  if (!__get_cpuid_count(7, 0, &a, &b, &c, &d)) return false;
  bool sha = b & (1u << 29);
  return ssse3 && sse41 && sha;
}

#define SHA_KERNEL __attribute__((target("sha,sse4.1,ssse3")))
#define SHA_INLINE SHA_KERNEL __attribute__((always_inline)) inline

// Messages in flight at once. sha256rnds2 has a latency of 4 cycles and the unit takes one per
// cycle, so 4 streams of prepared blocks keep it busy; more only add spills (the message operand
// must be in xmm0, and 8 streams' states alone fill xmm0-xmm15). Blocks whose schedule is computed
// on the way need 4 more registers per stream: 2 streams are fastest there (measured; 3 and 4
// spill).
constexpr int kBlockLanes = 4;
constexpr int kTailLanes = 2;

SHA_INLINE __m128i load(const void* p) { return _mm_loadu_si128(static_cast<const __m128i*>(p)); }
SHA_INLINE void store(void* p, __m128i v) { _mm_storeu_si128(static_cast<__m128i*>(p), v); }
// Reverses the bytes of each 32-bit word: message words and digests are big-endian.
SHA_INLINE __m128i byte_swap(__m128i v) {
  return _mm_shuffle_epi8(v, _mm_set_epi64x(0x0c0d0e0f08090a0bLL, 0x0405060700010203LL));
}

// The instructions keep the state as the word pairs ABEF and CDGH (A in the highest lane).
SHA_INLINE void load_state(const std::uint32_t* h, __m128i& abef, __m128i& cdgh) {
  __m128i cdab = _mm_shuffle_epi32(load(h), 0xb1);
  __m128i efgh = _mm_shuffle_epi32(load(h + 4), 0x1b);
  abef = _mm_alignr_epi8(cdab, efgh, 8);
  cdgh = _mm_blend_epi16(efgh, cdab, 0xf0);
}

// Writes A..D and E..H, each to four lanes in order.
SHA_INLINE void unpack_state(__m128i abef, __m128i cdgh, __m128i& abcd, __m128i& efgh) {
  __m128i feba = _mm_shuffle_epi32(abef, 0x1b);
  __m128i dchg = _mm_shuffle_epi32(cdgh, 0xb1);
  abcd = _mm_blend_epi16(feba, dchg, 0xf0);
  efgh = _mm_alignr_epi8(dchg, feba, 8);
}

// The message words of a block, produced four at a time as W[t] + K[t] for t = 4g .. 4g + 3.
struct BlockWords {
  __m128i w[4];  // W[4g .. 4g + 15], oldest first from slot g % 4

  BlockWords() = default;
  SHA_INLINE explicit BlockWords(const std::uint8_t* block) {
    for (int q = 0; q < 4; ++q) w[q] = byte_swap(load(block + 16 * q));
  }
  // Called with g = 0, 1, ... 15 in turn.
  SHA_INLINE __m128i next(int g) {
    const int q = g % 4;
    __m128i wk = _mm_add_epi32(w[q], load(kRoundConstants + 4 * g));
    if (g < 12) {  // W[4g + 16 ..] replaces W[4g ..]
      __m128i x = _mm_sha256msg1_epu32(w[q], w[(q + 1) % 4]);
      x = _mm_add_epi32(x, _mm_alignr_epi8(w[(q + 3) % 4], w[(q + 2) % 4], 4));
      w[q] = _mm_sha256msg2_epu32(x, w[(q + 3) % 4]);
    }
    return wk;
  }
  // The operands of the two round pairs of group g (only the low two words of each are used).
  SHA_INLINE void rounds(int g, __m128i& first, __m128i& second) {
    first = next(g);
    second = _mm_shuffle_epi32(first, 0x0e);
  }
};

// A prepared schedule.
struct PreparedWords {
  const std::uint32_t* wk;

  SHA_INLINE void rounds(int g, __m128i& first, __m128i& second) const {
    first = _mm_loadl_epi64(reinterpret_cast<const __m128i*>(wk + 4 * g));
    second = _mm_loadl_epi64(reinterpret_cast<const __m128i*>(wk + 4 * g + 2));
  }
};

// One compression of each of N states. The lanes are independent: their rounds are issued side
// by side so that sha256rnds2 never waits for its own previous result.
template <int N, class Words>
SHA_INLINE void compress(__m128i* abef, __m128i* cdgh, Words* words) {
  __m128i abef0[N], cdgh0[N];
#pragma GCC unroll 8
  for (int i = 0; i < N; ++i) {
    abef0[i] = abef[i];
    cdgh0[i] = cdgh[i];
  }
#pragma GCC unroll 16
  for (int g = 0; g < 16; ++g) {
    __m128i first[N], second[N];
#pragma GCC unroll 8
    for (int i = 0; i < N; ++i) {
      words[i].rounds(g, first[i], second[i]);
      cdgh[i] = _mm_sha256rnds2_epu32(cdgh[i], abef[i], first[i]);
    }
#pragma GCC unroll 8
    for (int i = 0; i < N; ++i) abef[i] = _mm_sha256rnds2_epu32(abef[i], cdgh[i], second[i]);
  }
#pragma GCC unroll 8
  for (int i = 0; i < N; ++i) {
    abef[i] = _mm_add_epi32(abef[i], abef0[i]);
    cdgh[i] = _mm_add_epi32(cdgh[i], cdgh0[i]);
  }
}

SHA_INLINE void store_digest(__m128i abef, __m128i cdgh, Digest& out) {
  __m128i abcd, efgh;
  unpack_state(abef, cdgh, abcd, efgh);
  store(out.data(), byte_swap(abcd));
  store(out.data() + 16, byte_swap(efgh));
}

template <class Words>
SHA_INLINE void absorb_one(Sha256State& s, Words words) {
  __m128i abef, cdgh, abcd, efgh;
  load_state(s.h, abef, cdgh);
  compress<1>(&abef, &cdgh, &words);
  unpack_state(abef, cdgh, abcd, efgh);
  store(s.h, abcd);
  store(s.h + 4, efgh);
  s.length += 64;
}

SHA_KERNEL void sha_absorb_prepared(Sha256State& s, const Sha256Block& block) {
  absorb_one(s, PreparedWords{block.wk});
}
SHA_KERNEL void sha_absorb(Sha256State& s, const std::uint8_t* block) {
  absorb_one(s, BlockWords(block));
}

SHA_KERNEL void sha_prepare(std::uint32_t* wk, const std::uint8_t* block) {
  BlockWords words(block);
  for (int g = 0; g < 16; ++g) store(wk + 4 * g, words.next(g));
}

// N messages of finish_blocks: m prepared blocks each, then the common padding block.
template <int N>
SHA_KERNEL void blocks_group(std::size_t m, const Sha256State* const* starts,
                             const Sha256Block* const* blocks, const std::uint32_t* pad_wk,
                             Digest* out) {
  __m128i abef[N], cdgh[N];
  PreparedWords words[N];
#pragma GCC unroll 8
  for (int i = 0; i < N; ++i) load_state(starts[i]->h, abef[i], cdgh[i]);
  for (std::size_t j = 0; j < m; ++j) {
#pragma GCC unroll 8
    for (int i = 0; i < N; ++i) words[i].wk = blocks[i * m + j]->wk;
    compress<N>(abef, cdgh, words);
  }
#pragma GCC unroll 8
  for (int i = 0; i < N; ++i) words[i].wk = pad_wk;
  compress<N>(abef, cdgh, words);
#pragma GCC unroll 8
  for (int i = 0; i < N; ++i) store_digest(abef[i], cdgh[i], out[i]);
}

// The last n < kBlockLanes messages of finish_blocks, on a kernel of their width.
template <int N>
void blocks_rest(std::size_t n, std::size_t m, const Sha256State* const* starts,
                 const Sha256Block* const* blocks, const std::uint32_t* pad_wk, Digest* out) {
  if constexpr (N > 0) {
    if (n == N) return blocks_group<N>(m, starts, blocks, pad_wk, out);
    blocks_rest<N - 1>(n, m, starts, blocks, pad_wk, out);
  }
}

void sha_finish_blocks(std::size_t n, std::size_t m, const Sha256State* const* starts,
                       const Sha256Block* const* blocks, Digest* out) {
  std::uint8_t pad[64];
  pad_final(pad, nullptr, 0, starts[0]->length + 64 * m);
  alignas(16) std::uint32_t pad_wk[64];
  sha_prepare(pad_wk, pad);
  std::size_t i = 0;
  for (; i + kBlockLanes <= n; i += kBlockLanes) {
    blocks_group<kBlockLanes>(m, starts + i, blocks + i * m, pad_wk, out + i);
  }
  blocks_rest<kBlockLanes - 1>(n - i, m, starts + i, blocks + i * m, pad_wk, out + i);
}

template <int N>
SHA_KERNEL void tails_step(__m128i* abef, __m128i* cdgh, const std::uint8_t* const* blocks) {
  // The states are worked on in locals: through the pointers, every round would go to memory
  // (vector types may alias anything).
  __m128i a[N], c[N];
  BlockWords words[N];
#pragma GCC unroll 8
  for (int i = 0; i < N; ++i) {
    words[i] = BlockWords(blocks[i]);
    a[i] = abef[i];
    c[i] = cdgh[i];
  }
  compress<N>(a, c, words);
#pragma GCC unroll 8
  for (int i = 0; i < N; ++i) {
    abef[i] = a[i];
    cdgh[i] = c[i];
  }
}

template <int N>
void tails_step_of_width(int k, __m128i* abef, __m128i* cdgh, const std::uint8_t* const* blocks) {
  if constexpr (N > 0) {
    if (k == N) return tails_step<N>(abef, cdgh, blocks);
    tails_step_of_width<N - 1>(k, abef, cdgh, blocks);
  }
}

// The lanes' states for run_tail_lanes.
struct ExtensionStates {
  __m128i abef[kTailLanes], cdgh[kTailLanes];

  SHA_KERNEL void load(std::size_t i, const Sha256State& s) { load_state(s.h, abef[i], cdgh[i]); }
  void step(std::size_t k, const std::uint8_t* const* blocks) {
    tails_step_of_width<kTailLanes>(static_cast<int>(k), abef, cdgh, blocks);
  }
  SHA_KERNEL void store(std::size_t i, Digest& out) { store_digest(abef[i], cdgh[i], out); }
  void move(std::size_t to, std::size_t from) {
    abef[to] = abef[from];
    cdgh[to] = cdgh[from];
  }
};

void sha_finish_tails(std::size_t n, const Sha256State* const* starts,
                      const std::string_view* tails, Digest* out) {
  TailLane lanes[kTailLanes];
  ExtensionStates states;
  run_tail_lanes<kTailLanes>(n, starts, tails, out, lanes, 1, states);
}

}  // namespace

const Sha256Kernel kShaExtensionsKernel{"sha_extensions", cpu_has_extensions,  sha_prepare,
                                        sha_absorb,       sha_absorb_prepared, sha_finish_blocks,
                                        sha_finish_tails};

}  // namespace tolvane
#endif
