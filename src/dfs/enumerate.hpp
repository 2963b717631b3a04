#pragma once

#include <cstdint>
#include <span>
#include <vector>

#include "dfs/arrange_featureset.hpp"

namespace tolvane {

// Number of k-selections of n items: C(n, k) when `commutative` (order does not matter),
// P(n, k) otherwise. Saturates at UINT64_MAX.
std::uint64_t choice_count(std::uint64_t n, std::uint64_t k, bool commutative);
// a * b and a + b, saturating at UINT64_MAX.
std::uint64_t saturating_mul(std::uint64_t a, std::uint64_t b);
inline std::uint64_t saturating_add(std::uint64_t a, std::uint64_t b) {
  return a + b < a ? UINT64_MAX : a + b;
}

// All candidate tuples of one signature. Per distinct schema (in order of first occurrence) the
// choices are the k-combinations (commutative) or k-permutations of its matches in lexicographic
// order of their match indices; the tuples are the cartesian product of the choices, first schema
// slowest, each arranged into slot order. A signature without slots has no candidates.
//
// A tuple is written as members, one per slot: the match lists of the groups back to back, so
// member m stands for matches()[m], an input position. Per-member data (hashing states, sort keys)
// can then live in flat arrays beside the space.
class CandidateSpace {
 public:
  // `matches_of` gives the matching input positions of a schema.
  template <class MatchesOf>
  CandidateSpace(std::span<const ColumnSchema> signature, bool commutative, MatchesOf&& matches_of)
      : commutative_(commutative), slots_(signature.size()) {
    SlotPositions positions = slot_positions(signature);
    std::vector<SlotPair<std::uint32_t>> chosen;  // the j-th choice of each group, as g * slots + j
    // Their lists gathered first, so that the members are copied once, into room of their size.
    std::vector<std::span<const std::uint32_t>> lists;
    std::size_t members = 0;
    for (const auto& group : positions.groups) {
      members += lists.emplace_back(matches_of(group.first)).size();
    }
    matches_.reserve(members);
    for (const auto& [schema, group_slots] : positions.groups) {
      std::span<const std::uint32_t> m = lists[groups_.size()];
      auto k = static_cast<std::uint32_t>(group_slots.size());
      std::uint64_t count = choice_count(m.size(), k, commutative);
      for (std::uint32_t j = 0; j < k; ++j) {
        chosen.push_back({schema, static_cast<std::uint32_t>(groups_.size() * slots_ + j)});
      }
      groups_.push_back({static_cast<std::uint32_t>(matches_.size()),
                         static_cast<std::uint32_t>(m.size()),
                         k,
                         count,
                         {}});
      matches_.insert(matches_.end(), m.begin(), m.end());
      size_ = groups_.size() == 1 ? count : saturating_mul(size_, count);
    }
    // The arrangement of each choice into slot order is the same for every tuple: worked out
    // once, on the slots themselves.
    std::vector<std::uint32_t> slot_order = arrange_candidate<std::uint32_t>(chosen, positions);
    for (std::uint32_t slot = 0; slot < slot_order.size(); ++slot) {
      groups_[slot_order[slot] / slots_].slots.push_back(slot);
    }
  }

  // The number of tuples a space would have, from the number of matches of each schema alone.
  template <class CountOf>
  static std::uint64_t count(std::span<const ColumnSchema> signature, bool commutative,
                             CountOf&& count_of) {
    SlotPositions positions = slot_positions(signature);
    if (positions.groups.empty()) return 0;
    std::uint64_t n = 1;
    for (const auto& [schema, group_slots] : positions.groups) {
      n = saturating_mul(n, choice_count(count_of(schema), group_slots.size(), commutative));
    }
    return n;
  }

  // Exact number of tuples (saturated at UINT64_MAX).
  std::uint64_t size() const { return size_; }
  std::uint32_t slots() const { return slots_; }
  bool commutative() const { return commutative_; }
  // Input position of each member.
  std::span<const std::uint32_t> matches() const { return matches_; }
  // The group (distinct schema) whose choices fill `slot`, as the range of members it draws on.
  std::pair<std::uint32_t, std::uint32_t> members_of_slot(std::uint32_t slot) const;

 private:
  friend class CandidateCursor;
  struct Group {
    std::uint32_t first_member;
    std::uint32_t size;  // matches
    std::uint32_t k;     // slots
    std::uint64_t count;
    std::vector<std::uint32_t> slots;  // the slot of its j-th choice
  };

  bool commutative_;
  std::uint32_t slots_;
  std::vector<Group> groups_;
  std::vector<std::uint32_t> matches_;
  std::uint64_t size_ = 0;
};

// Walks the tuples of a space in order, from any rank. The space must have fewer than
// UINT64_MAX tuples, and `rank` must be below size().
class CandidateCursor {
 public:
  CandidateCursor(const CandidateSpace& space, std::uint64_t rank);

  // Writes the next `n` tuples (n * slots() members, each tuple in slot order) and moves past
  // them. There must be that many left.
  void fill(std::uint32_t* out, std::size_t n);

 private:
  void unrank(std::size_t group, std::uint64_t rank);
  bool advance_group(std::size_t group);
  void reset_group(std::size_t group);
  void place(std::size_t group);
  void advance();

  const CandidateSpace& space_;
  // Match indices of the current choice, all groups back to back; `offsets_[g]` is where group
  // g's indices start. `used_` marks, per group, the matches taken by a permutation.
  std::vector<std::uint32_t> indices_;
  std::vector<std::size_t> offsets_;
  std::vector<std::vector<bool>> used_;
  std::vector<std::uint32_t> tuple_;  // the current tuple's members, in slot order
};

}  // namespace tolvane
