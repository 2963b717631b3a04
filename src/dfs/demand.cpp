#include "dfs/demand.hpp"

#include <cstddef>
#include <limits>

#include "dfs/arrange_featureset.hpp"
#include "dfs/enumerate.hpp"
#include "feature/feature.hpp"
#include "memory/huge_pages.hpp"
#include "memory/record_memory.hpp"
#include "support/failure_texts.hpp"

namespace tolvane {
namespace {

// What planning spends per input: its record pointer, sort key, block number and type values, its
// share of the test for shared ids and, when ids are shared, its places in the type index (up to
// three id sets of at most 8/3 slots of 8 bytes each, and their member lists).
constexpr std::uint64_t kPlanBytesPerInput = 26 + 3 * (22 + 4);

// What a call's new features take: how many there are, and the bytes of their records, of what the
// caller spends on them and of the plan that makes them.
struct Demand {
  std::uint64_t count = 0;
  std::uint64_t bytes = 0;

  // Whether it can be had, held in `memory` if so: the list of the inputs and the new features
  // must fit the address space too.
  bool reserve(std::size_t inputs, MemoryReservation& memory) const {
    constexpr std::uint64_t kMaxItems = std::numeric_limits<std::ptrdiff_t>::max() / sizeof(void*);
    return count <= kMaxItems - inputs && memory.reserve(bytes);
  }
};

// The demand of a call over `inputs` features, given how many of them match each schema.
Demand demand(std::size_t inputs, std::span<const PrimitiveRef> primitives,
              const MatchCount& count_of) {
  // The block the caller carves its objects from, charged whole.
  Demand d{0, saturating_add(kBlockSize, saturating_mul(inputs, kPlanBytesPerInput))};
  bool prepared_blocks = false;
  for (const PrimitiveRef& p : primitives) {
    if (p->function_type != "transform") continue;
    for (const InputSet& signature : p->column_schemas) {
      const std::size_t slots = signature.schemas.size();
      std::uint64_t n = CandidateSpace::count(signature.schemas, p->commutative, count_of);
      d.count = saturating_add(d.count, n);
      // Besides the record and the caller's share, each feature's id and base positions wait in
      // its chunk's batch until the caller takes it: at worst every chunk is made first.
      const std::uint64_t per_feature = SynthesizedBatch::record_size(slots) +
                                        kCallerBytesPerFeature + sizeof(Digest) +
                                        slots * sizeof(std::uint32_t);
      d.bytes = saturating_add(d.bytes, saturating_mul(n, per_feature));
      // Per match: its place in the match list and, hashed from blocks, its first state.
      const std::uint64_t per_match =
          sizeof(std::uint32_t) + (slots >= 2 ? sizeof(Sha256State) + sizeof(void*) : 0);
      for (ColumnSchema schema : signature.schemas) {
        d.bytes = saturating_add(d.bytes, saturating_mul(count_of(schema), per_match));
      }
      prepared_blocks = prepared_blocks || (slots >= 2 && n > 0);
    }
  }
  if (prepared_blocks)
    d.bytes = saturating_add(d.bytes, saturating_mul(inputs, sizeof(Sha256Block)));
  return d;
}

}  // namespace

TooManyFeatures::TooManyFeatures(std::uint64_t count)
    : message_(std::string(kTooManyFeatures) +
               (count == std::numeric_limits<std::uint64_t>::max() ? "more than " : "") +
               std::to_string(count) + std::string(kTooManyFeaturesEnd)) {}

bool reserve_by_count(Inputs& inputs, std::span<const PrimitiveRef> primitives,
                      MemoryReservation& memory) {
  const SchemaCounts& counts = inputs.table().counts;
  const std::size_t n = inputs.size();
  if (demand(n, primitives, [&](ColumnSchema s) {
        return matching_count_at_most(counts, s);
      }).reserve(n, memory)) {
    return true;
  }
  if (!inputs.distinct()) return false;
  reserve_by_matches(
      n, primitives, [&](ColumnSchema s) { return matching_count(counts, s); }, memory);
  return true;
}

void reserve_by_matches(std::size_t inputs, std::span<const PrimitiveRef> primitives,
                        const MatchCount& matches, MemoryReservation& memory) {
  const Demand exact = demand(inputs, primitives, matches);
  if (!exact.reserve(inputs, memory)) throw TooManyFeatures(exact.count);
}

}  // namespace tolvane
