#include "dfs/arrange_featureset.hpp"

#include <algorithm>
#include <bit>

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

std::uint32_t asked_for(ColumnSchema slot) {
  if (slot.logical_type == LogicalType::Unknown || slot.semantic_tag == LogicalType::Unknown) {
    return 0;
  }
  return 1u << static_cast<int>(slot.logical_type) | 1u << static_cast<int>(slot.semantic_tag);
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

std::uint64_t matching_count(const SchemaCounts& counts, ColumnSchema schema) {
  const std::uint32_t asked = asked_for(schema);
  std::uint64_t n = 0;
  for (SchemaKey key : counts.present()) {
    if (fills(filed_under(schema_of_key(key)), asked)) n += counts.count(key);
  }
  return n;
}

std::uint64_t matching_count_at_most(const SchemaCounts& counts, ColumnSchema schema) {
  // Each of the two types apart: inputs that share ids may match under one through one input and
  // under the other through another.
  if (!asked_for(schema)) return 0;
  const std::uint32_t logical = 1u << static_cast<int>(schema.logical_type);
  const std::uint32_t tag = 1u << static_cast<int>(schema.semantic_tag);
  std::uint64_t under_logical = 0, under_tag = 0;
  for (SchemaKey key : counts.present()) {
    const std::uint32_t types = filed_under(schema_of_key(key));
    if (fills(types, logical)) under_logical += counts.count(key);
    if (fills(types, tag)) under_tag += counts.count(key);
  }
  return std::min(under_logical, under_tag);
}

std::vector<std::uint32_t> matching_distinct(std::span<const SchemaKey> schemas,
                                             ColumnSchema schema, const SchemaCounts& counts) {
  std::vector<std::uint32_t> out;
  const std::uint32_t asked = asked_for(schema);
  if (!asked) return out;
  out.reserve(matching_count(counts, schema));
  std::array<bool, kLogicalTypeCount * kLogicalTypeCount> matches{};
  for (SchemaKey key : counts.present())
    matches[key] = fills(filed_under(schema_of_key(key)), asked);
  for (std::uint32_t p = 0; p < schemas.size(); ++p) {
    if (matches[schemas[p]]) out.push_back(p);
  }
  return out;
}

std::vector<std::uint32_t> matching_features(const FeatureTypeIndex& index, ColumnSchema schema) {
  // fills() by id: a feature filed under the one type whose id is filed under the other.
  if (!asked_for(schema)) return {};
  auto a = index.members(schema.logical_type);
  auto b = index.members(schema.semantic_tag);
  if (schema.logical_type == schema.semantic_tag) return {a.begin(), a.end()};
  LogicalType other = schema.semantic_tag;
  if (b.size() < a.size()) {
    std::swap(a, b);
    other = schema.logical_type;
  }
  std::vector<std::uint32_t> out;
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
