#include "dfs/arrange_featureset.hpp"

#include <algorithm>
#include <bit>

#include "support/huge_pages.hpp"
#include "support/panic.hpp"
#include "support/text_forms.hpp"

namespace tolvane {
namespace {

// Both guards report the same fixed place, so that their messages and locations stay stable
// whatever this file looks like.
constexpr FailureLocation kGuardLocation{"src/dfs/arrange_featureset", 15, 20};

// A set of id keys that may answer yes wrongly but never no wrongly: each key marks two bits of one
// word, in a table of `bits_per_key` bits per key it is made for.
class KeyFilter {
 public:
  // A big filter is read at random: in huge pages, where they are cheap, its reads miss the TLB
  // far less.
  KeyFilter(std::size_t keys, std::size_t bits_per_key) {
    const std::size_t words = std::bit_ceil(std::max<std::size_t>(keys * bits_per_key / 64, 1));
    words_.reserve(words);
    advise_huge_pages(words_.data(), words * sizeof(std::uint64_t));
    words_.assign(words, 0);
  }

  void prefetch(std::uint64_t key) const { __builtin_prefetch(&words_[word(key)], 1); }
  bool contains(std::uint64_t key) const { return (words_[word(key)] & bits(key)) == bits(key); }
  // Whether the key was in the set already.
  bool insert(std::uint64_t key) {
    bool was = contains(key);
    words_[word(key)] |= bits(key);
    return was;
  }

 private:
  // The word, from bits of the key that the two bit numbers leave alone.
  std::size_t word(std::uint64_t key) const { return (key >> 12) & (words_.size() - 1); }
  static std::uint64_t bits(std::uint64_t key) {
    return std::uint64_t{1} << (key & 63) | std::uint64_t{1} << (key >> 6 & 63);
  }

  std::vector<std::uint64_t> words_;
};

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

InputTable::InputTable(std::span<const FeatureRef> features) {
  reserve(features.size());
  for (const FeatureRef& f : features) add(*f);
}

std::uint64_t SchemaCounts::matching(ColumnSchema schema) const {
  if (schema.logical_type == LogicalType::Unknown || schema.semantic_tag == LogicalType::Unknown) {
    return 0;
  }
  const std::uint32_t wanted =
      1u << static_cast<int>(schema.logical_type) | 1u << static_cast<int>(schema.semantic_tag);
  std::uint64_t n = 0;
  for_each([&](std::uint32_t types, std::uint64_t count) {
    if ((types & wanted) == wanted) n += count;
  });
  return n;
}

std::uint64_t SchemaCounts::matching_at_most(ColumnSchema schema) const {
  if (schema.logical_type == LogicalType::Unknown || schema.semantic_tag == LogicalType::Unknown) {
    return 0;
  }
  std::uint64_t under_logical = 0, under_tag = 0;
  for_each([&](std::uint32_t types, std::uint64_t count) {
    if (types >> static_cast<int>(schema.logical_type) & 1) under_logical += count;
    if (types >> static_cast<int>(schema.semantic_tag) & 1) under_tag += count;
  });
  return std::min(under_logical, under_tag);
}

bool ids_distinct(const InputTable& inputs) {
  // The keys go through a filter of 16 bits per input: a key found there already is a suspect.
  // For a big list the filter is larger than the caches, so each key's word is fetched a few
  // dozen keys before it is needed. (Done apart from the pass over the records: mixed into it,
  // these fetches slow the records' stream down by more than they take alone.)
  const std::span<const std::uint64_t> keys = inputs.keys;
  const std::size_t n = keys.size();
  constexpr std::size_t kAhead = 32;
  KeyFilter seen(n, 16);
  std::vector<std::uint64_t> suspects;
  for (std::size_t i = 0; i < n; ++i) {
    if (i + kAhead < n) seen.prefetch(keys[i + kAhead]);
    if (seen.insert(keys[i])) suspects.push_back(keys[i]);
  }
  if (suspects.empty()) return true;
  std::sort(suspects.begin(), suspects.end());
  suspects.erase(std::unique(suspects.begin(), suspects.end()), suspects.end());
  // Every input whose key is a suspect, found through a filter of the suspects alone (small enough
  // to stay in the caches, and sparse enough to send few keys on to the search), ordered by id:
  // equal ids end up side by side.
  KeyFilter suspected(suspects.size(), 64);
  for (std::uint64_t key : suspects) suspected.insert(key);
  std::vector<std::pair<std::uint64_t, const Feature*>> same_key;
  for (std::size_t i = 0; i < n; ++i) {
    const std::uint64_t key = keys[i];
    if (suspected.contains(key) && std::binary_search(suspects.begin(), suspects.end(), key)) {
      same_key.emplace_back(key, inputs.records[i]);
    }
  }
  std::sort(same_key.begin(), same_key.end(), [](const auto& a, const auto& b) {
    return a.first != b.first ? a.first < b.first : id_less(*a.second, *b.second);
  });
  return std::adjacent_find(same_key.begin(), same_key.end(), [](const auto& a, const auto& b) {
           return same_id(*a.second, *b.second);
         }) == same_key.end();
}

std::vector<std::uint32_t> matching_distinct(std::span<const SchemaKey> schemas,
                                             ColumnSchema schema, const SchemaCounts& counts) {
  std::vector<std::uint32_t> out;
  if (schema.logical_type == LogicalType::Unknown || schema.semantic_tag == LogicalType::Unknown) {
    return out;
  }
  out.reserve(counts.matching(schema));
  const std::uint32_t wanted =
      1u << static_cast<int>(schema.logical_type) | 1u << static_cast<int>(schema.semantic_tag);
  std::array<bool, kLogicalTypeCount * kLogicalTypeCount> matches{};
  for (SchemaKey key : counts.present())
    matches[key] = (filed_under(schema_of_key(key)) & wanted) == wanted;
  for (std::uint32_t p = 0; p < schemas.size(); ++p) {
    if (matches[schemas[p]]) out.push_back(p);
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
