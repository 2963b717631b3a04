// The low-level context is used on purpose: copying it per derived feature is the cheapest way to
// reuse a primitive's absorbed id (about 100 ns against 160 ns for the EVP copy).
#define OPENSSL_API_COMPAT 10101
#define OPENSSL_SUPPRESS_DEPRECATED
#include "support/sha256.hpp"

#include <openssl/sha.h>

#include <cstring>

namespace tolvane {

static_assert(sizeof(SHA256_CTX) <= 112, "SHA256_CTX does not fit the reserved state");
static_assert(alignof(SHA256_CTX) <= 8);

namespace {
SHA256_CTX* ctx(unsigned char* state) { return reinterpret_cast<SHA256_CTX*>(state); }
}  // namespace

Sha256::Sha256() { SHA256_Init(ctx(state_)); }

void Sha256::update(std::string_view bytes) { SHA256_Update(ctx(state_), bytes.data(), bytes.size()); }

void Sha256::finish_hex(char* out) {
  static constexpr char kDigits[] = "0123456789abcdef";
  unsigned char digest[SHA256_DIGEST_LENGTH];
  SHA256_Final(digest, ctx(state_));
  for (std::size_t i = 0; i < SHA256_DIGEST_LENGTH; ++i) {
    out[2 * i] = kDigits[digest[i] >> 4];
    out[2 * i + 1] = kDigits[digest[i] & 0xf];
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
