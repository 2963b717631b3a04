#pragma once
// The inputs of one synthesis call, as the engine reads them. The call's list of features is
// converted into an InputTable in one pass (the records of a big list lie far apart, and every pass
// over them costs the caches a line or two per input): per input its record, the first bytes of its
// id (id_key) and its schema (SchemaKey), and per schema how many inputs carry it (SchemaCounts).
// Everything the call plans comes from that table: the memory it needs (dfs/demand.*), the
// matches of each slot (dfs/arrange_featureset.*), and whether two inputs share an id
// (ids_distinct), which decides how the matches are found. Inputs adds, once the plan needs them,
// the prepared hashing blocks of the inputs that the plan hashes from blocks.

#include <bit>
#include <cstdint>
#include <cstring>
#include <optional>
#include <span>
#include <vector>

#include "column_schema.hpp"
#include "feature/feature.hpp"
#include "hash/sha256.hpp"

namespace tolvane {

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

// How many features of a list carry each schema: enough to count the matches of any slot without
// building anything per feature (dfs/arrange_featureset.hpp counts them).
class SchemaCounts {
 public:
  void add(SchemaKey key) {
    if (by_schema_[key]++ == 0) present_.push_back(key);
  }
  // The schemas counted (a list holds few), in order of first occurrence.
  std::span<const SchemaKey> present() const { return present_; }
  std::uint64_t count(SchemaKey key) const { return by_schema_[key]; }

 private:
  // On the heap: a table moves with the inputs it counts.
  std::vector<std::uint64_t> by_schema_ =
      std::vector<std::uint64_t>(kLogicalTypeCount * kLogicalTypeCount, 0);
  std::vector<SchemaKey> present_;
};

// The first 8 bytes of an id as a number: ids in byte order are in the order of their keys, ties
// aside.
inline std::uint64_t id_key(const Feature& f) {
  std::uint64_t key;
  std::memcpy(&key, f.id().data(), sizeof key);
  if constexpr (std::endian::native == std::endian::little) key = __builtin_bswap64(key);
  return key;
}

// What synthesis reads of each input, gathered in one pass over the records.
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

// The call's inputs as the engine reads them: the table and, where the plan hashes from blocks, the
// prepared block of each input that it names (only those: a call over millions of inputs that
// pairs each with a few others does not pay for the rest).
class Inputs {
 public:
  explicit Inputs(InputTable inputs) : table_(std::move(inputs)) {}

  const InputTable& table() const { return table_; }
  std::span<const Feature* const> records() const { return table_.records; }
  std::size_t size() const { return table_.records.size(); }

  // The ids' order: byte order of the digests.
  bool less(std::uint32_t a, std::uint32_t b) const {
    if (table_.keys[a] != table_.keys[b]) return table_.keys[a] < table_.keys[b];
    return id_less(*table_.records[a], *table_.records[b]);
  }

  // Whether no two inputs share an id: worked out once, when first asked.
  bool distinct() {
    if (!distinct_) distinct_ = ids_distinct(table_);
    return *distinct_;
  }

  // Prepares the hashing block of an input (its id in hex, one SHA-256 block). Every block is
  // prepared before any is read: their addresses change until then.
  void prepare_block(std::uint32_t input);
  const Sha256Block& block(std::uint32_t input) const { return blocks_[block_of_[input]]; }

 private:
  InputTable table_;
  std::optional<bool> distinct_;
  std::vector<std::uint32_t> block_of_;
  std::vector<Sha256Block> blocks_;
};

}  // namespace tolvane
