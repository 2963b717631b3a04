#pragma once

#include <cstddef>
#include <vector>

#include "feature/feature.hpp"

namespace tolvane {

// A set of features keyed by id (open addressing, linear probing). It holds plain pointers: the
// caller keeps the features alive. The first feature inserted for an id is the one kept.
class FeatureIdSet {
 public:
  explicit FeatureIdSet(std::size_t expected = 0) { rehash(capacity_for(expected)); }

  // True when no feature with that id was present (and `f` is now the member for it).
  bool insert(const Feature* f) {
    if ((size_ + 1) * 4 > slots_.size() * 3) rehash(slots_.size() * 2);
    const Feature*& slot = find_slot(*f);
    if (slot) return false;
    slot = f;
    ++size_;
    return true;
  }

  // The member with the id of `f`, or null.
  const Feature* find(const Feature& f) const {
    return const_cast<FeatureIdSet*>(this)->find_slot(f);
  }
  bool contains(const Feature& f) const { return find(f) != nullptr; }
  std::size_t size() const { return size_; }

 private:
  static std::size_t capacity_for(std::size_t n) {
    std::size_t capacity = 16;
    while (capacity * 3 < n * 4 + 4) capacity *= 2;
    return capacity;
  }

  const Feature*& find_slot(const Feature& f) {
    std::size_t mask = slots_.size() - 1;
    for (std::size_t i = id_hash(f) & mask;; i = (i + 1) & mask) {
      const Feature*& slot = slots_[i];
      if (!slot || same_id(*slot, f)) return slot;
    }
  }

  void rehash(std::size_t capacity) {
    std::vector<const Feature*> old(capacity, nullptr);
    old.swap(slots_);
    for (const Feature* f : old) {
      if (f) find_slot(*f) = f;
    }
  }

  std::vector<const Feature*> slots_;
  std::size_t size_ = 0;
};

}  // namespace tolvane
