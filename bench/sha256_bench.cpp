// Nanoseconds per message of the SHA-256 batch functions on the shapes the module hashes, against
// OpenSSL with a copied context. Each figure is the median of several runs (min and max beside it).
//
// build: cmake --build build/cpp --target sha256_bench    usage: sha256_bench [runs]
#define OPENSSL_API_COMPAT 10101
#define OPENSSL_SUPPRESS_DEPRECATED
#include <openssl/sha.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <string>
#include <vector>

#include "hash/kernels.hpp"

using namespace tolvane;

namespace {

constexpr std::size_t kFeatures = 1000;  // inputs, as 64-digit hex ids
constexpr std::size_t kBatch = 1024;     // messages per call
constexpr std::size_t kMessages = 1 << 21;

std::uint64_t sink = 0;

// Times `batch` (which hashes kBatch messages into `out`) until kMessages are done; ns per message.
double run(const std::function<void()>& batch, const std::vector<Digest>& out) {
  auto t0 = std::chrono::steady_clock::now();
  for (std::size_t done = 0; done < kMessages; done += kBatch) {
    batch();
    sink += out[done / kBatch % kBatch][0];
  }
  std::chrono::duration<double, std::nano> dt = std::chrono::steady_clock::now() - t0;
  return dt.count() / kMessages;
}

void report(const char* what, int runs, const std::vector<Digest>& out,
            const std::function<void()>& batch) {
  run(batch, out);  // warm up
  std::vector<double> ns;
  for (int r = 0; r < runs; ++r) ns.push_back(run(batch, out));
  std::sort(ns.begin(), ns.end());
  std::printf("%-58s %7.1f ns  (%.1f .. %.1f)\n", what, ns[ns.size() / 2], ns.front(), ns.back());
}

}  // namespace

int main(int argc, char** argv) {
  const int runs = argc > 1 ? std::atoi(argv[1]) : 7;
  const std::string primitive_id = sha256_hex("add_numeric");
  std::vector<std::string> ids;
  for (std::size_t i = 0; i < kFeatures; ++i) ids.push_back(sha256_hex("F_" + std::to_string(i)));

  // The per-call preparation of the engine: the primitive's id absorbed, each input prepared,
  // and the state after each input as a first input.
  Sha256State prefix = sha256_start();
  sha256_absorb(prefix, reinterpret_cast<const std::uint8_t*>(primitive_id.data()));
  std::vector<Sha256Block> prepared(kFeatures);
  std::vector<Sha256State> after(kFeatures, prefix);
  for (std::size_t i = 0; i < kFeatures; ++i) {
    sha256_prepare(prepared[i], reinterpret_cast<const std::uint8_t*>(ids[i].data()));
    sha256_absorb(after[i], prepared[i]);
  }
  SHA256_CTX prefix_ctx;
  SHA256_Init(&prefix_ctx);
  SHA256_Update(&prefix_ctx, primitive_id.data(), primitive_id.size());

  // One batch of candidates, hashed over and over: candidate i pairs input i % 32 with one of
  // the others (the contents do not change the cost).
  std::vector<Digest> out(kBatch);
  std::vector<std::string> derived(kBatch), derived_tail(kBatch), names(kBatch);
  std::vector<std::string_view> derived_views, derived_tail_views, name_views;
  std::vector<const Sha256State*> from_initial(kBatch), from_prefix(kBatch), from_first(kBatch);
  std::vector<const Sha256Block*> two_blocks, one_block;
  const Sha256State initial = sha256_start();
  for (std::size_t i = 0; i < kBatch; ++i) {
    std::size_t a = i % 32, b = 32 + i % (kFeatures - 32);
    derived[i] = primitive_id + ids[a] + ids[b];
    derived_tail[i] = ids[a] + ids[b];
    names[i] = "F_" + std::to_string(123456 + i);
    from_initial[i] = &initial;
    from_prefix[i] = &prefix;
    from_first[i] = &after[a];
    two_blocks.insert(two_blocks.end(), {&prepared[a], &prepared[b]});
    one_block.push_back(&prepared[b]);
  }
  derived_views.assign(derived.begin(), derived.end());
  derived_tail_views.assign(derived_tail.begin(), derived_tail.end());
  name_views.assign(names.begin(), names.end());

  std::printf("kernel chosen on first use: %s\n", sha256_kernel().name);
  for (const Sha256Kernel* kernel : sha256_kernels()) {
    if (!use_sha256_kernel(*kernel)) continue;
    const char* which = kernel->name;
    std::printf("%s kernel, per 2-input derived id (64-byte primitive id, 192 bytes):\n", which);
    report("  finish_tails, 192-byte tails from the initial state", runs, out, [&] {
      sha256_finish_tails(kBatch, from_initial.data(), derived_views.data(), out.data());
    });
    report("  finish_tails, 128-byte tails, prefix absorbed", runs, out, [&] {
      sha256_finish_tails(kBatch, from_prefix.data(), derived_tail_views.data(), out.data());
    });
    report("  finish_blocks m = 2, prefix absorbed (3 compressions)", runs, out, [&] {
      sha256_finish_blocks(kBatch, 2, from_prefix.data(), two_blocks.data(), out.data());
    });
    report("  finish_blocks m = 1, from first input's state (2 compr.)", runs, out, [&] {
      sha256_finish_blocks(kBatch, 1, from_first.data(), one_block.data(), out.data());
    });
    report("  the same in the engine's batches of 64", runs, out, [&] {
      for (std::size_t i = 0; i < kBatch; i += 64) {
        sha256_finish_blocks(64, 1, from_first.data() + i, one_block.data() + i, out.data() + i);
      }
    });
    std::printf("%s kernel, per root id of a short name:\n", which);
    report("  finish_tails, names F_<k> (one block)", runs, out, [&] {
      sha256_finish_tails(kBatch, from_initial.data(), name_views.data(), out.data());
    });
  }
  std::printf("OpenSSL as called today:\n");
  report("  copied context, prefix absorbed, 2 inputs", runs, out, [&] {
    for (std::size_t i = 0; i < kBatch; ++i) {
      SHA256_CTX c = prefix_ctx;
      SHA256_Update(&c, derived_tail[i].data(), 128);
      SHA256_Final(out[i].data(), &c);
    }
  });
  report("  one-shot SHA256() of names F_<k>", runs, out, [&] {
    for (std::size_t i = 0; i < kBatch; ++i) {
      SHA256(reinterpret_cast<const unsigned char*>(names[i].data()), names[i].size(),
             out[i].data());
    }
  });
  std::vector<char> text(64 * kBatch);
  report("hex_digest", runs, out, [&] {
    for (std::size_t i = 0; i < kBatch; ++i) hex_digest(out[i], text.data() + 64 * i);
    sink += static_cast<unsigned char>(text[64 * (kBatch - 1)]);
  });
  std::printf("(checksum %llu)\n", static_cast<unsigned long long>(sink));
}
