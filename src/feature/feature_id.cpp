#include "feature/feature_id.hpp"

#include <algorithm>
#include <vector>

#include "feature/feature.hpp"

namespace tolvane {

MessagePrefix message_prefix(std::string_view primitive_id) {
  MessagePrefix prefix{sha256_start(), {}};
  const auto* bytes = reinterpret_cast<const std::uint8_t*>(primitive_id.data());
  const std::size_t whole = primitive_id.size() / 64 * 64;
  for (std::size_t at = 0; at < whole; at += 64) sha256_absorb(prefix.state, bytes + at);
  prefix.rest = primitive_id.substr(whole);
  return prefix;
}

void root_ids(std::size_t n, const std::string_view* names, Digest* out) {
  constexpr std::size_t kStarts = 64;
  const Sha256State initial = sha256_start();
  const Sha256State* starts[kStarts];
  std::fill(std::begin(starts), std::end(starts), &initial);
  for (std::size_t at = 0; at < n; at += kStarts) {
    sha256_finish_tails(std::min(kStarts, n - at), starts, names + at, out + at);
  }
}

Digest root_id(std::string_view name) {
  Digest id;
  root_ids(1, &name, &id);
  return id;
}

Digest derived_id(const Primitive& primitive, std::span<const Feature* const> bases) {
  std::vector<const Feature*> order(bases.begin(), bases.end());
  order_for_id(primitive.commutative, std::span(order),
               [](const Feature* a, const Feature* b) { return id_less(*a, *b); });
  const MessagePrefix prefix = message_prefix(primitive.id);
  std::vector<char> tail(message_tail_size(prefix, order.size()));
  write_message_tail(
      prefix, order.size(), [&](std::size_t j) -> const Digest& { return order[j]->id(); },
      tail.data());
  const Sha256State* start = &prefix.state;
  const std::string_view message_tail(tail.data(), tail.size());
  Digest id;
  sha256_finish_tails(1, &start, &message_tail, &id);
  return id;
}

}  // namespace tolvane
