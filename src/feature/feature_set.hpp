#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "feature/feature.hpp"
#include "memory/huge_pages.hpp"

namespace tolvane {

// A set of features keyed by id (open addressing, linear probing). It holds plain pointers: the
// caller keeps the features alive. The first feature inserted for an id is the one kept.
class FeatureIdSet {
 public:
  explicit FeatureIdSet(std::size_t expected = 0) { rehash(capacity_for(expected)); }

  // True when no feature with that id was present (and `f` is now the member for it).
  bool insert(const Feature* f) {
    if ((size_ + 1) * 4 > slots_.size() * 3) rehash(slots_.size() * 2);
    const std::size_t hash = id_hash(*f);
    std::uintptr_t& slot = find_slot(*f, hash);
    if (slot) return false;
    slot = entry(f, hash);
    ++size_;
    return true;
  }

  // The member with the id of `f`, or null.
  const Feature* find(const Feature& f) const {
    return member(const_cast<FeatureIdSet*>(this)->find_slot(f, id_hash(f)));
  }
  bool contains(const Feature& f) const { return find(f) != nullptr; }
  std::size_t size() const { return size_; }

  // Starts loading the slot where the id of `f` would be: a caller that knows which features come
  // next need not wait for memory when it gets to them.
  void prefetch(const Feature& f) const {
    const std::uintptr_t* slot = slots_.data() + (id_hash(f) & (slots_.size() - 1));
    __builtin_prefetch(slot);
    // GCC (12) takes a function whose one effect is a prefetch for a function without effects,
    // and drops the calls to it; an empty assembler statement is an effect it keeps.
    asm volatile("" : : "r"(slot));
  }

 private:
  // A slot holds a member's address and, in the low bits its alignment leaves free, bits of its
  // hash that the slot's index does not use: most members met while probing are told apart
  // without loading their records.
  static constexpr std::uintptr_t kTagBits = alignof(Feature) - 1;
  static_assert(kTagBits > 0 && (kTagBits & (kTagBits + 1)) == 0);
  static std::uintptr_t entry(const Feature* f, std::size_t hash) {
    return reinterpret_cast<std::uintptr_t>(f) | (hash >> 58 & kTagBits);
  }
  static const Feature* member(std::uintptr_t slot) {
    return reinterpret_cast<const Feature*>(slot & ~kTagBits);
  }

  // At most half full with the members expected: inserts are misses, whose probe runs grow
  // steeply with the load, and a run that spans cache lines costs a miss per line.
  static std::size_t capacity_for(std::size_t n) {
    std::size_t capacity = 16;
    while (capacity < n * 2 + 2) capacity *= 2;
    return capacity;
  }

  std::uintptr_t& find_slot(const Feature& f, std::size_t hash) {
    const std::size_t mask = slots_.size() - 1;
    const std::uintptr_t same = entry(&f, hash);
    for (std::size_t i = hash & mask;; i = (i + 1) & mask) {
      std::uintptr_t& slot = slots_[i];
      // The same record is met again far more often than another with its id.
      if (!slot || slot == same) return slot;
      if (((slot ^ same) & kTagBits) == 0 && same_id(*member(slot), f)) return slot;
    }
  }

  void rehash(std::size_t capacity) {
    // Probes land anywhere in the slots: in huge pages, a large set costs few TLB misses. The
    // advice comes before the slots are first written.
    std::vector<std::uintptr_t> old;
    old.reserve(capacity);
    advise_huge_pages(old.data(), capacity * sizeof(std::uintptr_t));
    old.assign(capacity, 0);
    old.swap(slots_);
    for (std::uintptr_t slot : old) {
      if (slot) find_slot(*member(slot), id_hash(*member(slot))) = slot;
    }
  }

  std::vector<std::uintptr_t> slots_;
  std::size_t size_ = 0;
};

}  // namespace tolvane
