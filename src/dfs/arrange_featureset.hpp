#pragma once

#include <algorithm>
#include <array>
#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <span>
#include <string>
#include <utility>
#include <vector>

#include "column_schema.hpp"
#include "feature/feature.hpp"
#include "feature/feature_set.hpp"

namespace tolvane {

// The type values a feature of schema `s` is filed under, as bit t for value t: its logical type,
// its semantic tag and Any, never Unknown.
std::uint32_t filed_under(ColumnSchema s);

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

// A schema as a small number (ColumnSchemaHash), and back.
using SchemaKey = std::uint16_t;
static_assert(kLogicalTypeCount * kLogicalTypeCount <= UINT16_MAX);
inline SchemaKey schema_key(ColumnSchema s) {
  return static_cast<SchemaKey>(ColumnSchemaHash{}(s));
}
inline ColumnSchema schema_of_key(std::size_t key) {
  return {static_cast<LogicalType>(key / kLogicalTypeCount),
          static_cast<LogicalType>(key % kLogicalTypeCount)};
}

// How many features of a list carry each schema: enough to count the matches of any schema without
// building anything per feature.
class SchemaCounts {
 public:
  void add(SchemaKey key) {
    if (by_schema_[key]++ == 0) present_.push_back(key);
  }
  // The schemas counted (a list holds few), in order of first occurrence.
  std::span<const SchemaKey> present() const { return present_; }

  // The size of matching_features() over the same list when no two of its features share an id.
  std::uint64_t matching(ColumnSchema schema) const;
  // A bound on that size whatever the ids.
  std::uint64_t matching_at_most(ColumnSchema schema) const;

 private:
  // Each schema present, with the type values its features are filed under and its count.
  template <class Visit>
  void for_each(Visit&& visit) const {
    for (SchemaKey key : present_) visit(filed_under(schema_of_key(key)), by_schema_[key]);
  }

  // On the heap: a table moves with the inputs it counts.
  std::vector<std::uint64_t> by_schema_ =
      std::vector<std::uint64_t>(kLogicalTypeCount * kLogicalTypeCount, 0);
  std::vector<SchemaKey> present_;
};

// The same as matching_features() over a list whose features all have different ids, from each
// feature's schema key and their counts: no set of ids is needed, only one pass over `schemas`.
std::vector<std::uint32_t> matching_distinct(std::span<const SchemaKey> schemas,
                                             ColumnSchema schema, const SchemaCounts& counts);

// The first 8 bytes of an id as a number: ids in byte order are in the order of their keys, ties
// aside.
inline std::uint64_t id_key(const Feature& f) {
  std::uint64_t key;
  std::memcpy(&key, f.id().data(), sizeof key);
  if constexpr (std::endian::native == std::endian::little) key = __builtin_bswap64(key);
  return key;
}

// What synthesis reads of each input, gathered in one pass over the records: the records of a big
// list lie far apart, and every pass over them costs the caches a line or two per feature.
struct InputTable {
  InputTable() = default;
  explicit InputTable(std::span<const FeatureRef> features);

  void reserve(std::size_t n) {
    records.reserve(n);
    keys.reserve(n);
    schemas.reserve(n);
  }
  void add(const Feature& f) {
    records.push_back(&f);
    keys.push_back(id_key(f));
    schemas.push_back(schema_key(f.schema()));
    counts.add(schemas.back());
  }

  std::vector<const Feature*> records;
  std::vector<std::uint64_t> keys;  // id_key() of each
  std::vector<SchemaKey> schemas;
  SchemaCounts counts;
};

// Whether no two of the features share an id, in memory of a few bytes per feature: only those
// whose keys may be shared are looked at in full.
bool ids_distinct(const InputTable& inputs);

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
