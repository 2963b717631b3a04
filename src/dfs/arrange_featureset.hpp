#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <utility>
#include <vector>

#include "column_schema.hpp"
#include "feature/feature.hpp"
#include "feature/feature_set.hpp"

namespace tolvane {

// Features by type value: a feature is filed under its logical type, its semantic tag and Any,
// never under Unknown. Each set keeps the first feature of an id in list order, and lists its
// members in that order. Holds plain pointers: the caller keeps the features alive.
class FeatureTypeIndex {
 public:
  explicit FeatureTypeIndex(std::span<const Feature* const> features);

  std::span<const Feature* const> members(LogicalType t) const {
    return entries_[static_cast<std::size_t>(t)].members;
  }
  bool contains(LogicalType t, const Feature& f) const {
    return entries_[static_cast<std::size_t>(t)].ids.contains(f);
  }

 private:
  struct Entry {
    FeatureIdSet ids;
    std::vector<const Feature*> members;
  };
  std::array<Entry, kLogicalTypeCount> entries_;
};

// The features that may fill a slot of `schema`: members under its logical type that are also
// members under its semantic tag, each id once, in the list order of the smaller of the two sets.
std::vector<const Feature*> matching_features(const FeatureTypeIndex& index, ColumnSchema schema);

// The slots of each distinct schema of a signature, schemas in order of first occurrence,
// positions ascending.
struct SlotPositions {
  std::vector<std::pair<ColumnSchema, std::vector<std::uint32_t>>> groups;

  std::size_t slot_count() const;
};

SlotPositions slot_positions(std::span<const ColumnSchema> signature);

// "{ColumnSchema { ... }: [0, 2], ColumnSchema { ... }: [1]}"
void append_slot_positions_debug(std::string& out, const SlotPositions& positions);

// A feature chosen for a slot of the given schema.
struct SlotPair {
  ColumnSchema schema;
  const Feature* feature;
};

// Puts the features of `pairs` into slot order: the j-th pair of schema S fills the j-th smallest
// position of S. `out` is reused storage; it ends up holding the features ordered by position.
// A schema missing from `positions`, or given more pairs than it has positions, is an internal
// failure.
void arrange_candidate(std::span<const SlotPair> pairs, const SlotPositions& positions,
                       std::vector<const Feature*>& out);

}  // namespace tolvane
