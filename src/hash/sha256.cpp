// The kernels' table, the choice among them, and the dispatch of the batch functions.
#include "hash/sha256.hpp"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstring>
#include <vector>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include "hash/kernels.hpp"
#include "support/panic.hpp"

namespace tolvane {

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

const Sha256Kernel* const kKernels[] = {
#if defined(__x86_64__)
    &kShaExtensionsKernel,
    &kAvx512Kernel,
#endif
    &kOpensslKernel,
};

using Clock = std::chrono::steady_clock;

// How long a kernel takes on the shapes hashed most: the engine's batches of one prepared block,
// and short names. Best of 3 on 256 messages each, some 100 us per kernel.
Clock::duration time_kernel(const Sha256Kernel& kernel) {
  constexpr std::size_t kMessages = 256, kBlocks = 16;
  const Sha256State start = sha256_start();
  Sha256Block prepared[kBlocks];
  const Sha256State* starts[kMessages];
  const Sha256Block* blocks[kMessages];
  std::string_view names[kMessages];
  Digest out[kMessages];
  for (std::size_t b = 0; b < kBlocks; ++b) {
    std::memset(prepared[b].bytes, static_cast<int>(b), 64);
    sha256_prepare_schedule(prepared[b].wk, prepared[b].bytes);
  }
  for (std::size_t i = 0; i < kMessages; ++i) {
    starts[i] = &start;
    blocks[i] = &prepared[i % kBlocks];
    names[i] = std::string_view(reinterpret_cast<const char*>(prepared[i % kBlocks].bytes), 8);
  }
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
  return best_of_3([&] { kernel.finish_blocks(kMessages, 1, starts, blocks, out); }) +
         best_of_3([&] { kernel.finish_tails(kMessages, starts, names, out); });
}

// The kernel to run: the only one this CPU supports besides the fallback, or the fastest of
// several by measurement (which is faster depends on the CPU's sha256rnds2), or the fallback.
const Sha256Kernel* fastest_kernel() {
  std::vector<const Sha256Kernel*> candidates;
  for (const Sha256Kernel* k : std::span(kKernels).first(std::size(kKernels) - 1)) {
    if (k->supported()) candidates.push_back(k);
  }
  if (candidates.empty()) return &kOpensslKernel;
  const Sha256Kernel* best = candidates[0];
  if (candidates.size() == 1) return best;
  Clock::duration best_time = time_kernel(*best);
  for (std::size_t i = 1; i < candidates.size(); ++i) {
    const Clock::duration t = time_kernel(*candidates[i]);
    if (t < best_time) best = candidates[i], best_time = t;
  }
  return best;
}

std::atomic<const Sha256Kernel*>& current_kernel() {
  static std::atomic<const Sha256Kernel*> kernel{fastest_kernel()};
  return kernel;
}

const Sha256Kernel& current() { return *current_kernel().load(std::memory_order_relaxed); }

template <class Op>
const Sha256Kernel& first_supported_with(Op op) {
  for (const Sha256Kernel* k : kKernels) {
    if (k->*op && k->supported()) return *k;
  }
  return kOpensslKernel;
}

}  // namespace

std::span<const Sha256Kernel* const> sha256_kernels() { return kKernels; }

const Sha256Kernel& sha256_kernel() { return current(); }

bool use_sha256_kernel(const Sha256Kernel& kernel) {
  if (!kernel.supported()) return false;
  current_kernel().store(&kernel, std::memory_order_relaxed);
  return true;
}

const Sha256Kernel& sha256_single_block_kernel() {
  static const Sha256Kernel& kernel = first_supported_with(&Sha256Kernel::absorb);
  return kernel;
}

void sha256_prepare_schedule(std::uint32_t* wk, const std::uint8_t* block) {
  static const auto prepare = first_supported_with(&Sha256Kernel::prepare).prepare;
  if (prepare) prepare(wk, block);
}

Sha256State sha256_start() {
  Sha256State s;
  std::memcpy(s.h, kInitial, sizeof s.h);
  s.length = 0;
  return s;
}

// The batch kernels that lack single-block code leave single blocks to the single-block kernel.
void sha256_absorb(Sha256State& s, const std::uint8_t* block) {
  const Sha256Kernel& k = current();
  (k.absorb ? k : sha256_single_block_kernel()).absorb(s, block);
}

void sha256_prepare(Sha256Block& out, const std::uint8_t* block) {
  std::memcpy(out.bytes, block, 64);
  sha256_prepare_schedule(out.wk, block);
}

void sha256_absorb(Sha256State& s, const Sha256Block& block) {
  const Sha256Kernel& k = current();
  (k.absorb_prepared ? k : sha256_single_block_kernel()).absorb_prepared(s, block);
}

void sha256_finish_blocks(std::size_t n, std::size_t m, const Sha256State* const* starts,
                          const Sha256Block* const* blocks, Digest* out) {
  if (n == 0) return;
  for (std::size_t i = 1; i < n; ++i) {
    if (starts[i]->length != starts[0]->length) panic(std::string(kStartsOfDifferentLengths));
  }
  current().finish_blocks(n, m, starts, blocks, out);
}

void sha256_finish_tails(std::size_t n, const Sha256State* const* starts,
                         const std::string_view* tails, Digest* out) {
  current().finish_tails(n, starts, tails, out);
}

}  // namespace tolvane
