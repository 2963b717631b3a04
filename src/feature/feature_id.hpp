#pragma once
// A feature's id, the rule every maker of features follows. A root feature's id is the SHA-256 of
// its name. A derived feature's id is the SHA-256 of its message: its primitive's id, then each
// base's id as 64 lower-case hexadecimal digits, in slot order, or in ascending id order (id_less)
// when the primitive is commutative. The engine hashes many messages of one primitive at once from
// the pieces below; build_feature() hashes one.

#include <algorithm>
#include <cstddef>
#include <span>
#include <string_view>

#include "hash/sha256.hpp"

namespace tolvane {

class Feature;
struct Primitive;

// The order in which a derived feature's bases enter its message: slot order, or ascending ids
// when the primitive is commutative. `less(a, b)` tells whether base a's id comes before base b's
// (id_less, or an order equal to it); `bases` is put in the message's order. Every maker of ids
// orders bases through this.
template <class Base, std::size_t Extent, class Less>
void order_for_id(bool commutative, std::span<Base, Extent> bases, Less&& less) {
  if (!commutative || bases.size() < 2) return;
  if (bases.size() == 2) {
    // Most primitives take two: without a branch, which the ids' random order would mispredict
    // half the time.
    const bool swap = less(bases[1], bases[0]);
    const Base first = swap ? bases[1] : bases[0];
    bases[1] = swap ? bases[0] : bases[1];
    bases[0] = first;
    return;
  }
  std::sort(bases.begin(), bases.end(), less);
}

// What a base's id takes in a message: one whole SHA-256 block, so that a base's block can be
// prepared once and absorbed by every message that names it.
inline constexpr std::size_t kBaseIdBytes = Sha256::kHexLength;
static_assert(kBaseIdBytes == 64, "a base's text is one SHA-256 block");

inline void write_base_id(const Digest& id, char* out) { hex_digest(id, out); }

// The start of every message of one primitive: the state after the whole blocks of its id, and
// the id's bytes after them.
struct MessagePrefix {
  Sha256State state;
  std::string_view rest;  // a view into the primitive id
};
MessagePrefix message_prefix(std::string_view primitive_id);

// The bytes of a message after its prefix's whole blocks: the prefix's rest, then the base ids
// id_at(0) .. id_at(count - 1) (in the rule's order), into `out` of message_tail_size() bytes.
inline std::size_t message_tail_size(const MessagePrefix& prefix, std::size_t count) {
  return prefix.rest.size() + kBaseIdBytes * count;
}
template <class IdAt>
void write_message_tail(const MessagePrefix& prefix, std::size_t count, IdAt&& id_at, char* out) {
  char* at = std::copy(prefix.rest.begin(), prefix.rest.end(), out);
  for (std::size_t j = 0; j < count; ++j, at += kBaseIdBytes) write_base_id(id_at(j), at);
}

Digest root_id(std::string_view name);
// The ids of n roots named names[0] .. names[n - 1], hashed together.
void root_ids(std::size_t n, const std::string_view* names, Digest* out);

Digest derived_id(const Primitive& primitive, std::span<const Feature* const> bases);

}  // namespace tolvane
