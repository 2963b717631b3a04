#include "dfs/enumerate.hpp"

#include <limits>

namespace tolvane {
namespace {

constexpr std::uint64_t kSaturated = std::numeric_limits<std::uint64_t>::max();

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

CandidateCursor::CandidateCursor(const CandidateSpace& space, std::uint64_t rank) : space_(space) {
  const auto& groups = space.groups_;
  std::size_t total = 0;
  for (const auto& g : groups) {
    offsets_.push_back(total);
    total += g.k;
    used_.emplace_back(space.commutative_ ? 0 : g.matches.size(), false);
  }
  indices_.resize(total);
  pairs_.resize(total);
  // Mixed radix, last group fastest.
  for (std::size_t g = groups.size(); g-- > 0;) {
    unrank(g, rank % groups[g].count);
    rank /= groups[g].count;
  }
  arrange();
}

void CandidateCursor::unrank(std::size_t group, std::uint64_t rank) {
  const auto& g = space_.groups_[group];
  std::uint32_t* a = indices_.data() + offsets_[group];
  const std::uint64_t n = g.matches.size();
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
  std::vector<bool>& used = used_[group];
  std::fill(used.begin(), used.end(), false);
  for (std::uint32_t i = 0; i < g.k; ++i) {
    std::uint64_t block = choice_count(n - i - 1, g.k - i - 1, false);
    std::uint64_t nth_free = rank / block;
    rank %= block;
    std::uint32_t v = 0;
    for (;; ++v) {
      if (!used[v] && nth_free-- == 0) break;
    }
    a[i] = v;
    used[v] = true;
  }
}

void CandidateCursor::reset_group(std::size_t group) {
  std::uint32_t* a = indices_.data() + offsets_[group];
  const std::uint32_t k = space_.groups_[group].k;
  for (std::uint32_t i = 0; i < k; ++i) a[i] = i;
  if (!space_.commutative_) {
    std::vector<bool>& used = used_[group];
    std::fill(used.begin(), used.end(), false);
    std::fill(used.begin(), used.begin() + k, true);
  }
}

bool CandidateCursor::advance_group(std::size_t group) {
  std::uint32_t* a = indices_.data() + offsets_[group];
  const std::uint32_t k = space_.groups_[group].k;
  const std::uint32_t n = static_cast<std::uint32_t>(space_.groups_[group].matches.size());
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

bool CandidateCursor::advance() {
  for (std::size_t g = space_.groups_.size(); g-- > 0;) {
    if (advance_group(g)) {
      arrange();
      return true;
    }
    reset_group(g);
  }
  return false;
}

void CandidateCursor::arrange() {
  const auto& groups = space_.groups_;
  for (std::size_t g = 0; g < groups.size(); ++g) {
    ColumnSchema schema = space_.positions_.groups[g].first;
    for (std::uint32_t i = 0; i < groups[g].k; ++i) {
      std::size_t at = offsets_[g] + i;
      pairs_[at] = {schema, groups[g].matches[indices_[at]]};
    }
  }
  arrange_candidate(pairs_, space_.positions_, tuple_);
}

}  // namespace tolvane
