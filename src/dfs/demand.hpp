#pragma once
// What a synthesis call needs in memory, worked out before anything is built for it, and the
// refusal of a call that cannot have it. The count of new features comes from the inputs'
// per-schema counts alone (SchemaCounts) where no two inputs share an id, or as a bound otherwise;
// only when the bound does not fit are the matches themselves counted. What fits is held in a
// MemoryReservation for the whole call, so that concurrent calls share one budget
// (support/system_limits.hpp).

#include <cstdint>
#include <exception>
#include <functional>
#include <span>
#include <string>

#include "column_schema.hpp"
#include "dfs/inputs.hpp"
#include "primitive.hpp"
#include "support/system_limits.hpp"

namespace tolvane {

// The new features would not fit in memory (or in any list); nothing was built. Raised in Python
// as MemoryError.
class TooManyFeatures : public std::exception {
 public:
  explicit TooManyFeatures(std::uint64_t count);
  const char* what() const noexcept override { return message_.c_str(); }

 private:
  std::string message_;
};

// How many inputs fill slots of a schema.
using MatchCount = std::function<std::uint64_t(ColumnSchema)>;

// Holds what the call needs in `memory` when the schemas' counts show that it fits: true then.
// False when only the matches can tell (inputs that share ids match once per id). Throws
// TooManyFeatures when the call cannot fit.
bool reserve_by_count(Inputs& inputs, std::span<const PrimitiveRef> primitives,
                      MemoryReservation& memory);

// Holds what the call needs in `memory`, from the number of matches of each schema; throws
// TooManyFeatures when it cannot fit.
void reserve_by_matches(std::size_t inputs, std::span<const PrimitiveRef> primitives,
                        const MatchCount& matches, MemoryReservation& memory);

}  // namespace tolvane
