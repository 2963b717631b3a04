#include "dfs/arrange_featureset.hpp"

#include <algorithm>

#include "support/panic.hpp"
#include "support/text_forms.hpp"

namespace tolvane {
namespace {

// Both guards report the same fixed place, so that their messages and locations stay stable
// whatever this file looks like.
constexpr FailureLocation kGuardLocation{"src/dfs/arrange_featureset", 15, 20};

}  // namespace

FeatureTypeIndex::FeatureTypeIndex(std::span<const Feature* const> features) : features_(features) {
  std::uint32_t position = 0;
  auto add = [&](LogicalType t, const Feature* f) {
    Entry& e = entries_[static_cast<std::size_t>(t)];
    if (e.ids.insert(f)) e.members.push_back(position);
  };
  for (const Feature* f : features) {
    ColumnSchema s = f->schema();
    if (s.logical_type != LogicalType::Unknown) add(s.logical_type, f);
    if (s.semantic_tag != LogicalType::Unknown && s.semantic_tag != s.logical_type) {
      add(s.semantic_tag, f);
    }
    add(LogicalType::Any, f);
    ++position;
  }
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
      std::string message = "Error unwrapping A ";
      append_schema_debug(message, schema);
      panic(std::move(message), kGuardLocation);
    }
    std::uint32_t& c = counters[it - positions.groups.begin()];
    if (c >= it->second.size()) {
      std::string message = "Error unwrapping B ";
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
