#pragma once

#include <cstdint>
#include <span>
#include <vector>

#include "dfs/arrange_featureset.hpp"

namespace tolvane {

// Number of k-selections of n items: C(n, k) when `commutative` (order does not matter),
// P(n, k) otherwise. Saturates at UINT64_MAX.
std::uint64_t choice_count(std::uint64_t n, std::uint64_t k, bool commutative);
// a * b, saturating at UINT64_MAX.
std::uint64_t saturating_mul(std::uint64_t a, std::uint64_t b);

// All candidate tuples of one signature. Per distinct schema (in order of first occurrence) the
// choices are the k-combinations (commutative) or k-permutations of its matches in lexicographic
// order of their match indices; the tuples are the cartesian product of the choices, first schema
// slowest, each arranged into slot order. A signature without slots has no candidates.
class CandidateSpace {
 public:
  // `matches_of` gives the matching features of a schema; the lists must outlive the space.
  template <class MatchesOf>
  CandidateSpace(std::span<const ColumnSchema> signature, bool commutative, MatchesOf&& matches_of)
      : positions_(slot_positions(signature)), commutative_(commutative) {
    for (const auto& [schema, slots] : positions_.groups) {
      std::span<const Feature* const> m = matches_of(schema);
      std::uint64_t count = choice_count(m.size(), slots.size(), commutative);
      groups_.push_back({m, static_cast<std::uint32_t>(slots.size()), count});
      size_ = groups_.size() == 1 ? count : saturating_mul(size_, count);
    }
  }

  // Exact number of tuples (saturated at UINT64_MAX).
  std::uint64_t size() const { return size_; }

 private:
  friend class CandidateCursor;
  struct Group {
    std::span<const Feature* const> matches;
    std::uint32_t k;
    std::uint64_t count;
  };

  SlotPositions positions_;
  bool commutative_;
  std::vector<Group> groups_;
  std::uint64_t size_ = 0;
};

// Walks the tuples of a space in order, from any rank. The space must have fewer than
// UINT64_MAX tuples, and `rank` must be below size().
class CandidateCursor {
 public:
  CandidateCursor(const CandidateSpace& space, std::uint64_t rank);

  // The current tuple, in slot order; valid until the next call to advance().
  std::span<const Feature* const> tuple() const { return tuple_; }
  // Moves to the next tuple; false when the last one has been passed.
  bool advance();

 private:
  void unrank(std::size_t group, std::uint64_t rank);
  bool advance_group(std::size_t group);
  void reset_group(std::size_t group);
  void arrange();

  const CandidateSpace& space_;
  // Match indices of the current choice, all groups back to back; `offsets_[g]` is where group
  // g's indices start. `used_` marks, per group, the matches taken by a permutation.
  std::vector<std::uint32_t> indices_;
  std::vector<std::size_t> offsets_;
  std::vector<std::vector<bool>> used_;
  std::vector<SlotPair> pairs_;
  std::vector<const Feature*> tuple_;
};

}  // namespace tolvane
