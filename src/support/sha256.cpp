// OpenSSL is the reference and the fallback. The low-level context is used on purpose: copying it
// per message is the cheapest way to reuse an absorbed prefix with OpenSSL (about 100 ns against
// 160 ns for the EVP copy), and it is the form in which a saved state can be handed back to it.
//
// Where the CPU has the SHA extensions, the batch functions run kernels of our own instead.
// OpenSSL finishes one message at a time, bound by the latency of sha256rnds2; the kernels
// interleave independent messages so that the unit is kept busy, and take message schedules that
// the caller has computed once per block (Sha256Block) where it reuses blocks. Where the CPU has
// AVX-512, 16 messages are hashed side by side in vector lanes instead; on CPUs that have both,
// which is faster differs (it depends on the throughput of sha256rnds2), so it is measured.
#define OPENSSL_API_COMPAT 10101
#define OPENSSL_SUPPRESS_DEPRECATED
#include "support/sha256.hpp"

#include <openssl/sha.h>

#include <algorithm>
#include <atomic>
#include <bit>
#include <chrono>
#include <cstring>

#include "support/panic.hpp"

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
#define TOLVANE_SHA_KERNELS 1
#endif

namespace tolvane {

static_assert(sizeof(SHA256_CTX) <= 112, "SHA256_CTX does not fit the reserved state");
static_assert(alignof(SHA256_CTX) <= 8);

namespace {
SHA256_CTX* ctx(unsigned char* state) { return reinterpret_cast<SHA256_CTX*>(state); }
}  // namespace

Sha256::Sha256() { SHA256_Init(ctx(state_)); }

void Sha256::update(std::string_view bytes) {
  SHA256_Update(ctx(state_), bytes.data(), bytes.size());
}

Digest Sha256::finish() {
  Digest d;
  SHA256_Final(d.data(), ctx(state_));
  return d;
}

void Sha256::finish_hex(char* out) { hex_digest(finish(), out); }

std::string sha256_hex(std::string_view bytes) {
  Sha256 h;
  h.update(bytes);
  std::string out(Sha256::kHexLength, '\0');
  h.finish_hex(out.data());
  return out;
}

void hex_digest(const Digest& d, char* out) {
#if defined(__SSE2__)
  // Each nibble n becomes '0' + n, plus the gap between '9' and 'a' where n > 9.
  const __m128i low = _mm_set1_epi8(0x0f);
  const __m128i nine = _mm_set1_epi8(9);
  const __m128i zero = _mm_set1_epi8('0');
  const __m128i gap = _mm_set1_epi8('a' - '0' - 10);
  for (int half = 0; half < 2; ++half) {
    __m128i bytes = _mm_loadu_si128(reinterpret_cast<const __m128i*>(d.data() + 16 * half));
    __m128i hi = _mm_and_si128(_mm_srli_epi16(bytes, 4), low);
    __m128i lo = _mm_and_si128(bytes, low);
    __m128i nibbles[2] = {_mm_unpacklo_epi8(hi, lo), _mm_unpackhi_epi8(hi, lo)};
    for (int i = 0; i < 2; ++i) {
      __m128i n = nibbles[i];
      __m128i text =
          _mm_add_epi8(_mm_add_epi8(n, zero), _mm_and_si128(_mm_cmpgt_epi8(n, nine), gap));
      _mm_storeu_si128(reinterpret_cast<__m128i*>(out + 32 * half + 16 * i), text);
    }
  }
#else
  constexpr char digits[] = "0123456789abcdef";
  for (std::size_t i = 0; i < d.size(); ++i) {
    out[2 * i] = digits[d[i] >> 4];
    out[2 * i + 1] = digits[d[i] & 0xf];
  }
#endif
}

namespace {

constexpr std::uint32_t kInitial[8] = {0x6a09e667, 0xbb67ae85, 0x3c6ef372, 0xa54ff53a,
                                       0x510e527f, 0x9b05688c, 0x1f83d9ab, 0x5be0cd19};

// The OpenSSL path: a context rebuilt from a saved state.
SHA256_CTX openssl_context(const Sha256State& s) {
  SHA256_CTX c;
  SHA256_Init(&c);
  std::memcpy(c.h, s.h, sizeof s.h);
  std::uint64_t bits = s.length * 8;
  c.Nl = static_cast<SHA_LONG>(bits);
  c.Nh = static_cast<SHA_LONG>(bits >> 32);
  return c;
}

void openssl_absorb(Sha256State& s, const std::uint8_t* block) {
  SHA256_CTX c = openssl_context(s);
  SHA256_Transform(&c, block);
  std::memcpy(s.h, c.h, sizeof s.h);
  s.length += 64;
}

void openssl_finish_blocks(std::size_t n, std::size_t m, const Sha256State* const* starts,
                           const Sha256Block* const* blocks, Digest* out) {
  for (std::size_t i = 0; i < n; ++i) {
    SHA256_CTX c = openssl_context(*starts[i]);
    for (std::size_t j = 0; j < m; ++j) SHA256_Update(&c, blocks[i * m + j]->bytes, 64);
    SHA256_Final(out[i].data(), &c);
  }
}

void openssl_finish_tails(std::size_t n, const Sha256State* const* starts,
                          const std::string_view* tails, Digest* out) {
  for (std::size_t i = 0; i < n; ++i) {
    SHA256_CTX c = openssl_context(*starts[i]);
    SHA256_Update(&c, tails[i].data(), tails[i].size());
    SHA256_Final(out[i].data(), &c);
  }
}

#if TOLVANE_SHA_KERNELS

#define SHA_KERNEL __attribute__((target("sha,sse4.1,ssse3")))
#define SHA_INLINE SHA_KERNEL __attribute__((always_inline)) inline

// Messages in flight at once. sha256rnds2 has a latency of 4 cycles and the unit takes one per
// cycle, so 4 streams of prepared blocks keep it busy; more only add spills (the message operand
// must be in xmm0, and 8 streams' states alone fill xmm0-xmm15). Blocks whose schedule is computed
// on the way need 4 more registers per stream: 2 streams are fastest there (measured; 3 and 4
// spill).
constexpr int kBlockLanes = 4;
constexpr int kTailLanes = 2;

alignas(16) constexpr std::uint32_t kRound[64] = {
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
std::size_t pad_final(std::uint8_t* out, const std::uint8_t* tail, std::size_t rem,
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
    __m128i wk = _mm_add_epi32(w[q], load(kRound + 4 * g));
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

SHA_KERNEL void sha_absorb(Sha256State& s, const std::uint32_t* wk) {
  absorb_one(s, PreparedWords{wk});
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

// finish_tails keeps kTailLanes messages in flight, each lane at its own block; a lane whose
// message is done takes the next one, so messages of mixed lengths keep every lane busy.
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

SHA_KERNEL void sha_finish_tails(std::size_t n, const Sha256State* const* starts,
                                 const std::string_view* tails, Digest* out) {
  TailLane lanes[kTailLanes];
  __m128i abef[kTailLanes], cdgh[kTailLanes];
  const std::uint8_t* blocks[kTailLanes];
  std::size_t next = 0;
  int active = 0;
  for (; active < kTailLanes && next < n; ++active, ++next) {
    lanes[active].begin(next, *starts[next], tails[next]);
    load_state(starts[next]->h, abef[active], cdgh[active]);
  }
  while (active > 0) {
    for (int i = 0; i < active; ++i) blocks[i] = lanes[i].block();
    tails_step_of_width<kTailLanes>(active, abef, cdgh, blocks);
    for (int i = 0; i < active;) {
      TailLane& l = lanes[i];
      if (l.advance()) {
        ++i;
        continue;
      }
      store_digest(abef[i], cdgh[i], out[l.message]);
      if (next < n) {
        l.begin(next, *starts[next], tails[next]);
        load_state(starts[next]->h, abef[i], cdgh[i]);
        ++next;
        ++i;
      } else {
        // Keep the active lanes first: the last one moves into this slot.
        --active;
        if (i != active) {
          lanes[i] = lanes[active];
          abef[i] = abef[active];
          cdgh[i] = cdgh[active];
        }
      }
    }
  }
}

// The AVX-512 kernels: 16 messages at once, one in each 32-bit lane of a zmm register. They do the
// rounds in plain vector arithmetic, so it does not depend on the throughput of sha256rnds2, which
// is 2 cycles on some CPUs against 1 on others; which kernel is faster is measured at start-up.
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
    return _mm512_add_epi32(w[t % 16], _mm512_set1_epi32(static_cast<int>(kRound[t])));
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

bool cpu_has_extensions() {
  unsigned a, b, c, d;
  if (!__get_cpuid(1, &a, &b, &c, &d)) return false;
  bool ssse3 = c & (1u << 9), sse41 = c & (1u << 19);
  if (!__get_cpuid_count(7, 0, &a, &b, &c, &d)) return false;
  bool sha = b & (1u << 29);
  return ssse3 && sse41 && sha;
}

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

#else

bool cpu_has_extensions() { return false; }
bool cpu_has_avx512() { return false; }

#endif

bool has_extensions() {
  static const bool has = cpu_has_extensions();
  return has;
}

bool has_avx512() {
  static const bool has = cpu_has_avx512();
  return has;
}

#if TOLVANE_SHA_KERNELS

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
  for (int t = 0; t < 64; ++t) wk[t] = w[t] + kRound[t];
}

// Not tied to the current path, so that a block stays usable whichever path is chosen later.
void prepare_words(std::uint32_t* wk, const std::uint8_t* block) {
  if (has_extensions()) return sha_prepare(wk, block);
  if (has_avx512()) portable_prepare(wk, block);
}

void wide_finish_blocks(std::size_t n, std::size_t m, const Sha256State* const* starts,
                        const Sha256Block* const* blocks, Digest* out) {
  const std::size_t rest = n % kWideLanes < kWideFewestBlocks ? n % kWideLanes : 0;
  if (rest < n) {
    std::uint8_t pad[64];
    pad_final(pad, nullptr, 0, starts[0]->length + 64 * m);
    std::uint32_t pad_wk[64];
    prepare_words(pad_wk, pad);
    for (std::size_t i = 0; i < n - rest; i += kWideLanes) {
      wide_blocks_group(std::min(kWideLanes, n - rest - i), m, starts + i, blocks + i * m, pad_wk,
                        out + i);
    }
  }
  if (rest == 0) return;
  const std::size_t i = n - rest;
  (has_extensions() ? sha_finish_blocks : openssl_finish_blocks)(rest, m, starts + i,
                                                                 blocks + i * m, out + i);
}

void digest_of(const std::uint32_t* h, Digest& out) {
  for (int w = 0; w < 8; ++w) {
    const std::uint32_t big = __builtin_bswap32(h[w]);
    std::memcpy(out.data() + 4 * w, &big, 4);
  }
}

// As sha_finish_tails, 16 lanes wide. Once fewer than kWideFewestTails lanes have work, the
// messages still in flight are finished by the narrow kernels, so that one long message does not
// hold up 16 lanes.
void wide_finish_tails(std::size_t n, const Sha256State* const* starts,
                       const std::string_view* tails, Digest* out) {
  if (n < kWideFewestTails) {
    return (has_extensions() ? sha_finish_tails : openssl_finish_tails)(n, starts, tails, out);
  }
  TailLane lanes[kWideLanes];
  alignas(64) std::uint32_t state[8][kWideLanes] = {};
  const std::uint8_t* blocks[kWideLanes];
  std::size_t next = 0, active = 0;
  auto begin = [&](std::size_t i) {
    lanes[i].begin(next, *starts[next], tails[next]);
    for (int w = 0; w < 8; ++w) state[w][i] = starts[next]->h[w];
    ++next;
  };
  for (; active < kWideLanes && next < n; ++active) begin(active);
  while (active >= kWideFewestTails) {
    for (std::size_t i = 0; i < kWideLanes; ++i) blocks[i] = lanes[i < active ? i : 0].block();
    wide_tails_step(state, blocks);
    for (std::size_t i = 0; i < active;) {
      TailLane& l = lanes[i];
      if (l.advance()) {
        ++i;
        continue;
      }
      std::uint32_t h[8];
      for (int w = 0; w < 8; ++w) h[w] = state[w][i];
      digest_of(h, out[l.message]);
      if (next < n) {
        begin(i++);
      } else if (i != --active) {  // keep the active lanes first
        lanes[i] = lanes[active];
        for (int w = 0; w < 8; ++w) state[w][i] = state[w][active];
      }
    }
  }
  // The rest, from where each message stands: its remaining bytes, or its last padded block.
  Sha256State rest[kWideFewestTails];
  const Sha256State* rest_starts[kWideFewestTails];
  std::string_view rest_tails[kWideFewestTails];
  std::size_t rest_messages[kWideFewestTails], k = 0;
  for (std::size_t i = 0; i < active; ++i) {
    TailLane& l = lanes[i];
    Sha256State s;
    for (int w = 0; w < 8; ++w) s.h[w] = state[w][i];
    if (l.padded_at > 0) {
      do {
        if (has_extensions()) {
          sha_absorb(s, l.block());
        } else {
          openssl_absorb(s, l.block());
        }
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
  (has_extensions() ? sha_finish_tails : openssl_finish_tails)(k, rest_starts, rest_tails, digests);
  for (std::size_t j = 0; j < k; ++j) out[rest_messages[j]] = digests[j];
}

// Which kernels are faster on this CPU, on the shapes hashed most: the engine's batches of one
// prepared block, and short names. Best of 3 on 256 messages each, some 200 us in all.
Sha256Path measured_path() {
  constexpr std::size_t kMessages = 256, kBlocks = 16;
  static_assert(kMessages % kWideLanes == 0);
  const Sha256State start = sha256_start();
  Sha256Block prepared[kBlocks];
  const Sha256State* starts[kMessages];
  const Sha256Block* blocks[kMessages];
  std::string_view names[kMessages];
  Digest out[kMessages];
  for (std::size_t b = 0; b < kBlocks; ++b) {
    std::memset(prepared[b].bytes, static_cast<int>(b), 64);
    prepare_words(prepared[b].wk, prepared[b].bytes);
  }
  for (std::size_t i = 0; i < kMessages; ++i) {
    starts[i] = &start;
    blocks[i] = &prepared[i % kBlocks];
    names[i] = std::string_view(reinterpret_cast<const char*>(prepared[i % kBlocks].bytes), 8);
  }
  using Clock = std::chrono::steady_clock;
  auto best_of_3 = [](auto run) {
    run();  // the first run also wakes the wide units up
    auto best = Clock::duration::max();
    for (int i = 0; i < 3; ++i) {
      const auto t0 = Clock::now();
      run();
      best = std::min(best, Clock::now() - t0);
    }
    return best;
  };
  auto time = [&](auto finish_blocks, auto finish_tails) {
    return best_of_3([&] { finish_blocks(kMessages, 1, starts, blocks, out); }) +
           best_of_3([&] { finish_tails(kMessages, starts, names, out); });
  };
  return time(wide_finish_blocks, wide_finish_tails) < time(sha_finish_blocks, sha_finish_tails)
             ? Sha256Path::avx512
             : Sha256Path::extensions;
}

#endif

Sha256Path fastest_path() {
#if TOLVANE_SHA_KERNELS
  if (has_avx512() && has_extensions()) return measured_path();
#endif
  if (has_avx512()) return Sha256Path::avx512;
  if (has_extensions()) return Sha256Path::extensions;
  return Sha256Path::openssl;
}

std::atomic<Sha256Path>& current_path() {
  static std::atomic<Sha256Path> path{fastest_path()};
  return path;
}

#if TOLVANE_SHA_KERNELS
// The AVX-512 kernels only do batches; on their path the SHA extensions, where present, absorb
// single blocks.
bool on_extensions() {
  return current_path().load(std::memory_order_relaxed) != Sha256Path::openssl && has_extensions();
}
#endif

}  // namespace

Sha256Path sha256_path() { return current_path().load(std::memory_order_relaxed); }

const char* sha256_path_name(Sha256Path path) {
  switch (path) {
    case Sha256Path::extensions:
      return "extensions";
    case Sha256Path::avx512:
      return "avx512";
    case Sha256Path::openssl:
      return "openssl";
  }
  return "?";
}

bool set_sha256_path(Sha256Path path) {
  if (path == Sha256Path::extensions && !has_extensions()) return false;
  if (path == Sha256Path::avx512 && !has_avx512()) return false;
  current_path().store(path, std::memory_order_relaxed);
  return true;
}

Sha256State sha256_start() {
  Sha256State s;
  std::memcpy(s.h, kInitial, sizeof s.h);
  s.length = 0;
  return s;
}

void sha256_absorb(Sha256State& s, const std::uint8_t* block) {
#if TOLVANE_SHA_KERNELS
  if (on_extensions()) return sha_absorb(s, block);
#endif
  openssl_absorb(s, block);
}

void sha256_prepare(Sha256Block& out, const std::uint8_t* block) {
  std::memcpy(out.bytes, block, 64);
#if TOLVANE_SHA_KERNELS
  prepare_words(out.wk, block);
#endif
}

void sha256_absorb(Sha256State& s, const Sha256Block& block) {
#if TOLVANE_SHA_KERNELS
  if (on_extensions()) return sha_absorb(s, block.wk);
#endif
  openssl_absorb(s, block.bytes);
}

void sha256_finish_blocks(std::size_t n, std::size_t m, const Sha256State* const* starts,
                          const Sha256Block* const* blocks, Digest* out) {
  if (n == 0) return;
  for (std::size_t i = 1; i < n; ++i) {
    if (starts[i]->length != starts[0]->length)
      panic("sha256_finish_blocks: starts of different lengths");
  }
#if TOLVANE_SHA_KERNELS
  switch (current_path().load(std::memory_order_relaxed)) {
    case Sha256Path::extensions:
      return sha_finish_blocks(n, m, starts, blocks, out);
    case Sha256Path::avx512:
      return wide_finish_blocks(n, m, starts, blocks, out);
    case Sha256Path::openssl:
      break;
  }
#endif
  openssl_finish_blocks(n, m, starts, blocks, out);
}

void sha256_finish_tails(std::size_t n, const Sha256State* const* starts,
                         const std::string_view* tails, Digest* out) {
#if TOLVANE_SHA_KERNELS
  switch (current_path().load(std::memory_order_relaxed)) {
    case Sha256Path::extensions:
      return sha_finish_tails(n, starts, tails, out);
    case Sha256Path::avx512:
      return wide_finish_tails(n, starts, tails, out);
    case Sha256Path::openssl:
      break;
  }
#endif
  openssl_finish_tails(n, starts, tails, out);
}

}  // namespace tolvane
