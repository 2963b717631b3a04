#pragma once

#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <utility>
#include <vector>

#include "column_schema.hpp"
#include "dfs/inputs.hpp"
#include "feature/feature.hpp"
#include "feature/feature_set.hpp"

namespace tolvane {

// Matching: which features may fill a slot. A feature is filed under its logical type, its
// semantic tag and Any (never Unknown); a slot of schema (L, T) takes a feature filed under both L
// and T, so Any takes every feature and a slot with Unknown in it takes none. fills() is that rule,
// and every matcher below applies it: to schemas (counting from SchemaCounts, or one pass over the
// inputs' schema keys) or, when inputs share ids, by id through the type index, whose sets keep the
// first feature of each id under each type value.

// The type values a feature of schema `s` is filed under, as bit t for value t.
std::uint32_t filed_under(ColumnSchema s);
// The type values a slot of schema `slot` asks for, as bits; none for a slot with Unknown in it.
std::uint32_t asked_for(ColumnSchema slot);
// Whether a feature filed under `types` fills a slot that asks for `asked`.
inline bool fills(std::uint32_t types, std::uint32_t asked) {
  return asked != 0 && (types & asked) == asked;
}

// Features by type value, each filed as filed_under() says. Each set keeps the first feature of an
// id in list order, and lists its members, as positions in the list, in that order. The caller
// keeps the features alive.
class FeatureTypeIndex {
 public:
  explicit FeatureTypeIndex(std::span<const Feature* const> features);

  std::span<const std::uint32_t> members(LogicalType t) const {
    return entries_[static_cast<std::size_t>(t)].members;
  }
  bool contains(LogicalType t, const Feature& f) const {
    return entries_[static_cast<std::size_t>(t)].ids.contains(f);
  }
  const Feature& feature(std::uint32_t position) const { return *features_[position]; }

 private:
  struct Entry {
    FeatureIdSet ids;
    std::vector<std::uint32_t> members;
  };
  std::span<const Feature* const> features_;
  std::array<Entry, kLogicalTypeCount> entries_;
};

// The features that may fill a slot of `schema`, as positions in the indexed list: members under
// its logical type that are also members under its semantic tag, each id once, in the list order
// of the smaller of the two sets.
std::vector<std::uint32_t> matching_features(const FeatureTypeIndex& index, ColumnSchema schema);

// The same over a list whose features all have different ids, from each feature's schema key and
// the list's counts: no set of ids is needed, only one pass over `schemas`.
std::vector<std::uint32_t> matching_distinct(std::span<const SchemaKey> schemas,
                                             ColumnSchema schema, const SchemaCounts& counts);

// The size of matching_features() over the counted list when no two of its features share an id.
std::uint64_t matching_count(const SchemaCounts& counts, ColumnSchema schema);
// A bound on that size whatever the ids.
std::uint64_t matching_count_at_most(const SchemaCounts& counts, ColumnSchema schema);

// The slots of each distinct schema of a signature, schemas in order of first occurrence,
// positions ascending.
struct SlotPositions {
  std::vector<std::pair<ColumnSchema, std::vector<std::uint32_t>>> groups;
};

SlotPositions slot_positions(std::span<const ColumnSchema> signature);

// "{ColumnSchema { ... }: [0, 2], ColumnSchema { ... }: [1]}"
void append_slot_positions_debug(std::string& out, const SlotPositions& positions);

// An item (a feature, or anything standing for one) chosen for a slot of the given schema.
template <class Item>
struct SlotPair {
  ColumnSchema schema;
  Item item;
};

// Where arrange_candidate puts the k-th of `pairs`, or the internal failure of a schema missing
// from `positions` (guard A) or given more pairs than it has positions (guard B).
std::vector<std::uint32_t> slots_of_pairs(std::span<const ColumnSchema> pair_schemas,
                                          const SlotPositions& positions);

// Puts the items of `pairs` into slot order: the j-th pair of schema S fills the j-th smallest
// position of S. The synthesis engine applies it once per signature, to the slots themselves.
template <class Item>
std::vector<Item> arrange_candidate(std::span<const SlotPair<Item>> pairs,
                                    const SlotPositions& positions) {
  std::vector<ColumnSchema> schemas;
  schemas.reserve(pairs.size());
  for (const auto& p : pairs) schemas.push_back(p.schema);
  std::vector<std::uint32_t> slots = slots_of_pairs(schemas, positions);
  // Fewer pairs than slots: the placed items, still in position order.
  std::vector<std::pair<std::uint32_t, Item>> placed;
  placed.reserve(pairs.size());
  for (std::size_t k = 0; k < pairs.size(); ++k) placed.emplace_back(slots[k], pairs[k].item);
  std::sort(placed.begin(), placed.end(),
            [](const auto& a, const auto& b) { return a.first < b.first; });
  std::vector<Item> out;
  out.reserve(placed.size());
  for (auto& [slot, item] : placed) out.push_back(std::move(item));
  return out;
}

}  // namespace tolvane
