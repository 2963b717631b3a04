// The low-level context is used on purpose: copying it per derived feature is the cheapest way to
// reuse a primitive's absorbed id (about 100 ns against 160 ns for the EVP copy).
#define OPENSSL_API_COMPAT 10101
#define OPENSSL_SUPPRESS_DEPRECATED
#include "support/sha256.hpp"

#include <openssl/sha.h>

#include <array>
#include <cstring>

namespace tolvane {

static_assert(sizeof(SHA256_CTX) <= 112, "SHA256_CTX does not fit the reserved state");
static_assert(alignof(SHA256_CTX) <= 8);

namespace {
SHA256_CTX* ctx(unsigned char* state) { return reinterpret_cast<SHA256_CTX*>(state); }
}  // namespace

Sha256::Sha256() { SHA256_Init(ctx(state_)); }

void Sha256::update(std::string_view bytes) { SHA256_Update(ctx(state_), bytes.data(), bytes.size()); }

namespace {
// Two hexadecimal digits per byte value, high nibble first.
constexpr auto kHexPairs = [] {
  std::array<char, 512> pairs{};
  constexpr char digits[] = "0123456789abcdef";
  for (std::size_t b = 0; b < 256; ++b) {
    pairs[2 * b] = digits[b >> 4];
    pairs[2 * b + 1] = digits[b & 0xf];
  }
  return pairs;
}();
}  // namespace

void Sha256::finish_hex(char* out) {
  unsigned char digest[SHA256_DIGEST_LENGTH];
  SHA256_Final(digest, ctx(state_));
  for (std::size_t i = 0; i < SHA256_DIGEST_LENGTH; ++i) {
    std::memcpy(out + 2 * i, &kHexPairs[2 * digest[i]], 2);
  }
}

std::string sha256_hex(std::string_view bytes) {
  Sha256 h;
  h.update(bytes);
  std::string out(Sha256::kHexLength, '\0');
  h.finish_hex(out.data());
  return out;
}

}  // namespace tolvane
