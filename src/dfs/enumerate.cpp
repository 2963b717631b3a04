#include "dfs/enumerate.hpp"

#include <algorithm>
#include <limits>

namespace tolvane {
namespace {

constexpr std::uint64_t kSaturated = std::numeric_limits<std::uint64_t>::max();

// The choice of two of n matches after (i, j), in lexicographic order: the next combination or
// permutation. False past the last one.
inline bool next_pair(std::uint32_t& i, std::uint32_t& j, std::uint32_t n, bool commutative) {
  if (commutative) {
    if (++j == n) j = ++i + 1;
    return i + 1 < n;
  }
  if (++j == i) ++j;
  if (j >= n) ++i, j = 0;  // i is at least 1 now, so j = 0 is free
  return i < n;
}

}  // namespace

std::uint64_t saturating_mul(std::uint64_t a, std::uint64_t b) {
  unsigned __int128 p = static_cast<unsigned __int128>(a) * b;
  return p > kSaturated ? kSaturated : static_cast<std::uint64_t>(p);
}

std::uint64_t choice_count(std::uint64_t n, std::uint64_t k, bool commutative) {
  if (k > n) return 0;
  std::uint64_t r = 1;
  if (!commutative) {
    for (std::uint64_t i = 0; i < k && r != kSaturated; ++i) r = saturating_mul(r, n - i);
    return r;
  }
  if (k > n - k) k = n - k;
  // C(n-k+i, i) grows with i, so once it passes the limit it stays there.
  for (std::uint64_t i = 1; i <= k; ++i) {
    unsigned __int128 next = static_cast<unsigned __int128>(r) * (n - k + i) / i;
    if (next > kSaturated) return kSaturated;
    r = static_cast<std::uint64_t>(next);
  }
  return r;
}

std::pair<std::uint32_t, std::uint32_t> CandidateSpace::members_of_slot(std::uint32_t slot) const {
  for (const Group& g : groups_) {
    if (std::find(g.slots.begin(), g.slots.end(), slot) != g.slots.end())
      return {g.first_member, g.size};
  }
  return {0, 0};
}

CandidateCursor::CandidateCursor(const CandidateSpace& space, std::uint64_t rank)
    : space_(space), tuple_(space.slots_) {
  const auto& groups = space.groups_;
  std::size_t total = 0;
  for (const auto& g : groups) {
    offsets_.push_back(total);
    total += g.k;
    // Only a permutation of three or more marks the indices it took: pairs step on their own.
    used_.emplace_back(space.commutative_ || g.k < 3 ? 0 : g.size, false);
  }
  indices_.resize(total);
  // Mixed radix, last group fastest.
  for (std::size_t g = groups.size(); g-- > 0;) {
    unrank(g, rank % groups[g].count);
    rank /= groups[g].count;
  }
  for (std::size_t g = 0; g < groups.size(); ++g) place(g);
}

void CandidateCursor::unrank(std::size_t group, std::uint64_t rank) {
  const auto& g = space_.groups_[group];
  std::uint32_t* a = indices_.data() + offsets_[group];
  const std::uint64_t n = g.size;
  if (space_.commutative_) {
    std::uint64_t v = 0;
    for (std::uint32_t i = 0; i < g.k; ++i, ++v) {
      // Skip the values whose block of completions lies wholly before `rank`.
      for (std::uint64_t block; (block = choice_count(n - v - 1, g.k - i - 1, true)) <= rank; ++v) {
        rank -= block;
      }
      a[i] = static_cast<std::uint32_t>(v);
    }
    return;
  }
  // On a fresh cursor: no index is marked used yet.
  std::vector<bool>& used = used_[group];
  std::vector<std::uint32_t> taken;  // a[0..i), ascending
  for (std::uint32_t i = 0; i < g.k; ++i) {
    std::uint64_t block = choice_count(n - i - 1, g.k - i - 1, false);
    // The nth index not taken yet: n, moved up past each taken index at or below it.
    auto v = static_cast<std::uint32_t>(rank / block);
    rank %= block;
    for (std::uint32_t t : taken) v += t <= v;
    a[i] = v;
    if (!used.empty()) used[v] = true;
    taken.insert(std::upper_bound(taken.begin(), taken.end(), v), v);
  }
}

void CandidateCursor::reset_group(std::size_t group) {
  std::uint32_t* a = indices_.data() + offsets_[group];
  const std::uint32_t k = space_.groups_[group].k;
  std::vector<bool>& used = used_[group];
  // The marks are exactly the current indices: cleared one by one, whatever the group's size.
  for (std::uint32_t i = 0; i < k && !used.empty(); ++i) used[a[i]] = false;
  for (std::uint32_t i = 0; i < k; ++i) a[i] = i;
  for (std::uint32_t i = 0; i < k && !used.empty(); ++i) used[i] = true;
}

bool CandidateCursor::advance_group(std::size_t group) {
  std::uint32_t* a = indices_.data() + offsets_[group];
  const std::uint32_t k = space_.groups_[group].k;
  const std::uint32_t n = space_.groups_[group].size;
  if (k == 1) return ++a[0] < n;  // one slot: the next match, whatever the order rule
  if (k == 2) return next_pair(a[0], a[1], n, space_.commutative_);
  if (space_.commutative_) {
    // Next combination: bump the rightmost index that has room, then count up after it.
    for (std::uint32_t i = k; i-- > 0;) {
      if (a[i] < n - k + i) {
        ++a[i];
        for (std::uint32_t j = i + 1; j < k; ++j) a[j] = a[j - 1] + 1;
        return true;
      }
    }
    return false;
  }
  // Next permutation: from the right, release an index and take the next free larger one; the
  // slots after it get the smallest free indices in ascending order.
  std::vector<bool>& used = used_[group];
  for (std::uint32_t i = k; i-- > 0;) {
    used[a[i]] = false;
    std::uint32_t v = a[i] + 1;
    while (v < n && used[v]) ++v;
    if (v < n) {
      a[i] = v;
      used[v] = true;
      std::uint32_t free = 0;
      for (std::uint32_t j = i + 1; j < k; ++j) {
        while (used[free]) ++free;
        a[j] = free;
        used[free] = true;
      }
      return true;
    }
  }
  return false;
}

void CandidateCursor::place(std::size_t group) {
  const auto& g = space_.groups_[group];
  const std::uint32_t* a = indices_.data() + offsets_[group];
  for (std::uint32_t j = 0; j < g.k; ++j) tuple_[g.slots[j]] = g.first_member + a[j];
}

void CandidateCursor::advance() {
  for (std::size_t g = space_.groups_.size(); g-- > 0;) {
    // A group of one choice (a slot only one input matches) never moves.
    if (space_.groups_[g].count == 1) continue;
    bool moved = advance_group(g);
    if (!moved) reset_group(g);
    place(g);
    if (moved) return;
  }
}

void CandidateCursor::fill(std::uint32_t* out, std::size_t n) {
  const auto& groups = space_.groups_;
  // One schema over one or two slots (most primitives): the choices are walked directly, on
  // indices_ alone.
  if (groups.size() == 1 && groups[0].k <= 2) {
    const auto& g = groups[0];
    std::uint32_t* a = indices_.data();
    if (g.k == 1) {
      for (std::size_t c = 0; c < n; ++c)
        out[c] = g.first_member + a[0] + static_cast<std::uint32_t>(c);
      a[0] += static_cast<std::uint32_t>(n);
      return;
    }
    std::uint32_t i = a[0], j = a[1];
    for (std::size_t c = 0; c < n; ++c) {
      out[2 * c] = g.first_member + i;
      out[2 * c + 1] = g.first_member + j;
      next_pair(i, j, g.size, space_.commutative_);
    }
    a[0] = i;
    a[1] = j;
    return;
  }
  const std::uint32_t slots = space_.slots_;
  for (std::size_t c = 0; c < n; ++c) {
    std::copy(tuple_.begin(), tuple_.end(), out + c * slots);
    advance();
  }
}

}  // namespace tolvane
