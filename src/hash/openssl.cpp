// OpenSSL's SHA-256: the incremental Sha256, and the kernel that is the reference and the
// fallback. The low-level context is used on purpose: copying it per message is the cheapest way
// to reuse an absorbed prefix with OpenSSL (about 100 ns against 160 ns for the EVP copy), and it
// is the form in which a saved state can be handed back to it.
#define OPENSSL_API_COMPAT 10101
#define OPENSSL_SUPPRESS_DEPRECATED
#include <openssl/sha.h>

#include <cstring>

#include "hash/kernels.hpp"

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

namespace {

// A context rebuilt from a saved state.
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

void openssl_absorb_prepared(Sha256State& s, const Sha256Block& block) {
  openssl_absorb(s, block.bytes);
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

bool always() { return true; }

}  // namespace

const Sha256Kernel kOpensslKernel{"openssl",
                                  always,
                                  nullptr,
                                  openssl_absorb,
                                  openssl_absorb_prepared,
                                  openssl_finish_blocks,
                                  openssl_finish_tails};

}  // namespace tolvane
