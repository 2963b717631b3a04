#include "dfs/arrange_featureset.hpp"

#include <algorithm>
#include <bit>
#include <cstring>

#include "support/panic.hpp"
#include "support/text_forms.hpp"

namespace tolvane {
namespace {

// Both guards report the same fixed place, so that their messages and locations stay stable
// whatever this file looks like.
constexpr FailureLocation kGuardLocation{"src/dfs/arrange_featureset", 15, 20};

}  // namespace

std::uint32_t filed_under(ColumnSchema s) {
  std::uint32_t types = 1u << static_cast<int>(LogicalType::Any);
  types |= 1u << static_cast<int>(s.logical_type);
  types |= 1u << static_cast<int>(s.semantic_tag);
  return types & ~(1u << static_cast<int>(LogicalType::Unknown));
}

FeatureTypeIndex::FeatureTypeIndex(std::span<const Feature* const> features) : features_(features) {
  std::uint32_t position = 0;
  for (const Feature* f : features) {
    for (std::uint32_t types = filed_under(f->schema()); types; types &= types - 1) {
      Entry& e = entries_[std::countr_zero(types)];
      if (e.ids.insert(f)) e.members.push_back(position);
    }
    ++position;
  }
}

SchemaCounts::SchemaCounts(std::span<const FeatureRef> features) {
  // Counted per schema; a list holds few distinct ones, which alone are looked at afterwards.
  std::array<std::uint64_t, kLogicalTypeCount * kLogicalTypeCount> by_schema{};
  std::vector<std::size_t> seen;
  for (const FeatureRef& f : features) {
    std::size_t key = ColumnSchemaHash{}(f->schema());
    if (by_schema[key]++ == 0) seen.push_back(key);
  }
  for (std::size_t i : seen) {
    std::uint32_t types = filed_under({static_cast<LogicalType>(i / kLogicalTypeCount),
                                       static_cast<LogicalType>(i % kLogicalTypeCount)});
    auto it = std::find_if(counts_.begin(), counts_.end(),
                           [&](const auto& c) { return c.first == types; });
    if (it == counts_.end()) it = counts_.insert(counts_.end(), {types, 0});
    it->second += by_schema[i];
  }
}

std::uint64_t SchemaCounts::matching(ColumnSchema schema) const {
  if (schema.logical_type == LogicalType::Unknown || schema.semantic_tag == LogicalType::Unknown) {
    return 0;
  }
  const std::uint32_t wanted =
      1u << static_cast<int>(schema.logical_type) | 1u << static_cast<int>(schema.semantic_tag);
  std::uint64_t n = 0;
  for (const auto& [types, count] : counts_) {
    if ((types & wanted) == wanted) n += count;
  }
  return n;
}

std::uint64_t SchemaCounts::matching_at_most(ColumnSchema schema) const {
  if (schema.logical_type == LogicalType::Unknown || schema.semantic_tag == LogicalType::Unknown) {
    return 0;
  }
  std::uint64_t under_logical = 0, under_tag = 0;
  for (const auto& [types, count] : counts_) {
    if (types >> static_cast<int>(schema.logical_type) & 1) under_logical += count;
    if (types >> static_cast<int>(schema.semantic_tag) & 1) under_tag += count;
  }
  return std::min(under_logical, under_tag);
}

namespace {

template <class Item>
bool ids_distinct_in(std::span<Item> features, const Feature* (*record)(const Item&)) {
  // The first 8 bytes of each id mark a bit in a table of 16 bits per feature; a feature whose bit
  // is already marked is a suspect. Only the suspects' prefixes are then looked at in full.
  auto prefix = [](const Feature* f) {
    std::uint64_t key;
    std::memcpy(&key, f->id().data(), sizeof key);
    return key;
  };
  const std::size_t bits = std::bit_ceil(std::max<std::size_t>(features.size() * 16, 64));
  std::vector<std::uint64_t> marked(bits / 64, 0);
  auto is_marked = [&](std::uint64_t key) {
    return (marked[(key & (bits - 1)) / 64] >> (key % 64) & 1) != 0;
  };
  auto test_and_mark = [&](std::uint64_t key) {
    bool was = is_marked(key);
    marked[(key & (bits - 1)) / 64] |= std::uint64_t{1} << (key % 64);
    return was;
  };
  std::vector<std::uint64_t> suspects;
  for (const Item& f : features) {
    if (test_and_mark(prefix(record(f)))) suspects.push_back(prefix(record(f)));
  }
  if (suspects.empty()) return true;
  std::sort(suspects.begin(), suspects.end());
  suspects.erase(std::unique(suspects.begin(), suspects.end()), suspects.end());
  std::fill(marked.begin(), marked.end(), 0);
  for (std::uint64_t key : suspects) test_and_mark(key);
  // Every feature with a suspect prefix, ordered by id: equal ids end up side by side.
  std::vector<const Feature*> same_prefix;
  for (const Item& f : features) {
    std::uint64_t key = prefix(record(f));
    if (is_marked(key) && std::binary_search(suspects.begin(), suspects.end(), key)) {
      same_prefix.push_back(record(f));
    }
  }
  std::sort(same_prefix.begin(), same_prefix.end(),
            [](const Feature* a, const Feature* b) { return id_less(*a, *b); });
  return std::adjacent_find(same_prefix.begin(), same_prefix.end(),
                            [](const Feature* a, const Feature* b) { return same_id(*a, *b); }) ==
         same_prefix.end();
}

}  // namespace

bool ids_distinct(std::span<const FeatureRef> features) {
  return ids_distinct_in<const FeatureRef>(features, [](const FeatureRef& f) { return f.get(); });
}

bool ids_distinct(std::span<const Feature* const> features) {
  return ids_distinct_in<const Feature* const>(features, [](const Feature* const& f) { return f; });
}

std::vector<std::uint32_t> matching_distinct(std::span<const std::uint32_t> filed,
                                             ColumnSchema schema) {
  std::vector<std::uint32_t> out;
  if (schema.logical_type == LogicalType::Unknown || schema.semantic_tag == LogicalType::Unknown) {
    return out;
  }
  const std::uint32_t wanted =
      1u << static_cast<int>(schema.logical_type) | 1u << static_cast<int>(schema.semantic_tag);
  for (std::uint32_t p = 0; p < filed.size(); ++p) {
    if ((filed[p] & wanted) == wanted) out.push_back(p);
  }
  return out;
}

std::vector<std::uint32_t> matching_features(const FeatureTypeIndex& index, ColumnSchema schema) {
  std::vector<std::uint32_t> out;
  if (schema.logical_type == LogicalType::Unknown || schema.semantic_tag == LogicalType::Unknown) {
    return out;
  }
  auto a = index.members(schema.logical_type);
  auto b = index.members(schema.semantic_tag);
  if (schema.logical_type == schema.semantic_tag) return {a.begin(), a.end()};
  LogicalType other = schema.semantic_tag;
  if (b.size() < a.size()) {
    std::swap(a, b);
    other = schema.logical_type;
  }
  out.reserve(a.size());
  for (std::uint32_t f : a) {
    if (index.contains(other, index.feature(f))) out.push_back(f);
  }
  return out;
}

SlotPositions slot_positions(std::span<const ColumnSchema> signature) {
  SlotPositions p;
  for (std::size_t i = 0; i < signature.size(); ++i) {
    auto it = std::find_if(p.groups.begin(), p.groups.end(),
                           [&](const auto& g) { return g.first == signature[i]; });
    if (it == p.groups.end()) it = p.groups.insert(p.groups.end(), {signature[i], {}});
    it->second.push_back(static_cast<std::uint32_t>(i));
  }
  return p;
}

void append_slot_positions_debug(std::string& out, const SlotPositions& positions) {
  out += '{';
  for (std::size_t i = 0; i < positions.groups.size(); ++i) {
    if (i) out += ", ";
    append_schema_debug(out, positions.groups[i].first);
    out += ": ";
    append_list(out, positions.groups[i].second, ", ",
                [](std::string& out, std::uint32_t slot) { out += std::to_string(slot); });
  }
  out += '}';
}

std::vector<std::uint32_t> slots_of_pairs(std::span<const ColumnSchema> pair_schemas,
                                          const SlotPositions& positions) {
  std::vector<std::uint32_t> counters(positions.groups.size(), 0);
  std::vector<std::uint32_t> slots;
  slots.reserve(pair_schemas.size());
  for (ColumnSchema schema : pair_schemas) {
    auto it = std::find_if(positions.groups.begin(), positions.groups.end(),
                           [&](const auto& g) { return g.first == schema; });
    if (it == positions.groups.end()) {
      std::string message(kSlotMissing);
      append_schema_debug(message, schema);
      panic(std::move(message), kGuardLocation);
    }
    std::uint32_t& c = counters[it - positions.groups.begin()];
    if (c >= it->second.size()) {
      std::string message(kSlotsExhausted);
      append_schema_debug(message, schema);
      message += ' ';
      append_slot_positions_debug(message, positions);
      panic(std::move(message), kGuardLocation);
    }
    slots.push_back(it->second[c++]);
  }
  return slots;
}

}  // namespace tolvane
