#pragma once
// Record memory: where feature and primitive records live, and how long. Every rule that counts
// references is here or points here; docs/architecture.md ("Reference counts") lists them too.
//
// 1. A primitive record counts its references in 64 bits (RefCounted, memory/shared_ref.hpp): any
//    thread adds and drops them, atomically; the last to drop destroys it.
// 2. A feature record counts them in 32 bits (Feature, feature/feature.hpp), atomically, from any
//    thread. A count that would pass 2^31 sticks there and the record lives on. A holder that
//    sees a count of one holds the only reference: nobody else can add or drop one, so it may
//    destroy the record without an atomic update. Destroying a record drops its references on its
//    bases and primitive, iteratively (Feature::destroy), so an ancestry of any depth goes
//    without recursion.
// 3. The records a synthesis call makes take their references in bulk (SynthesizedBatch): the
//    engine's threads count, per base, the references the batch's records need, and the one
//    thread that takes the batch over adds them all at once, before it builds any record. Until
//    then a batch holds none; afterwards, destroying it drops those of the records never built.
// 4. A record may live in memory its maker provides, with data of the maker's own, a cell
//    (RecordMemory::release_cell): it then starts with two references, its first holder's and the
//    cell's, and when its last reference goes its memory is handed back to the maker. The binding
//    layer keeps each new feature's Python object and record in one cell.
// 5. References that many records share (a call's inputs, held by thousands of its new features,
//    and their primitives) may be dropped in bulk (DeferredDrops): drops are merged per record and
//    applied at once, by one thread, the one that owns the DeferredDrops. A record's merged drops
//    are applied as soon as they are all that holds it (so it goes when its last holder lets go),
//    when a record's slot is wanted by another, and when the owner flushes them all; only records
//    held at least kShared times wait there, so the number that wait is bounded.
// 6. Records made outside cells come from RecordMemory::allocate where one is installed (the
//    binding layer's object arena, memory/object_arena.hpp), else from operator new.

#include <atomic>
#include <cassert>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <new>
#include <span>
#include <utility>
#include <vector>

#include "feature/feature.hpp"
#include "primitive.hpp"

namespace tolvane {

// Where records live besides operator new, chosen once for the process before any record is made
// (the binding layer installs its own at import); the functions run on the threads that make and
// drop records, and any of them may be null.
struct RecordMemory {
  // Gives back the memory of a record in a cell, whose last reference went.
  void (*release_cell)(const Feature* record) noexcept = nullptr;
  // `size` bytes aligned for a pointer for a record made outside a cell, or null for the record to
  // come from operator new; `release` takes back what it gave.
  void* (*allocate)(std::size_t size) noexcept = nullptr;
  void (*release)(const Feature* record) noexcept = nullptr;
};
void install_record_memory(const RecordMemory& memory) noexcept;
const RecordMemory& record_memory() noexcept;

// What a caller spends on each feature it is handed besides the record: an object of four words
// and a slot in its list.
inline constexpr std::size_t kCallerBytesPerFeature = 5 * sizeof(void*);

// The new features of one chunk of a synthesis call as the engine worked them out, on whichever
// thread: per feature its id and the positions of its bases among the call's inputs. The caller
// builds their records, in order, on its own thread and in memory of its choosing. Rule 3 above:
// this type is the only way to make records without taking their references one by one.
class SynthesizedBatch {
 public:
  // Room for `capacity` features. `inputs`: the call's input records, by position, which outlive
  // the batch.
  SynthesizedBatch(const Primitive& primitive, std::size_t slots, const Feature* const* inputs,
                   std::size_t capacity);
  SynthesizedBatch(const SynthesizedBatch&) = delete;
  SynthesizedBatch& operator=(const SynthesizedBatch&) = delete;
  ~SynthesizedBatch();

  // The engine's side. `n` more features (within the capacity), to be filled in: their ids, and
  // the positions of their bases, `slots` per feature.
  struct Room {
    Digest* ids;
    std::uint32_t* positions;
  };
  Room extend(std::size_t n) noexcept {
    Room room{ids_.get() + size_, positions_.get() + size_ * slots_};
    size_ += n;
    return room;
  }
  // The references the records need on their bases, as (base, count) pairs: all the features' base
  // slots between them.
  void set_base_refs(std::vector<std::pair<const Feature*, std::uint32_t>> counts) noexcept {
    base_refs_ = std::move(counts);
  }

  // The caller's side, on one thread. First adds the counted references and the primitive's.
  void add_refs() noexcept;
  std::size_t size() const noexcept { return size_; }
  // Bytes of each record, a multiple of 8.
  std::size_t record_size() const noexcept { return record_size(slots_); }
  // Builds the next record, in order, with one reference: the caller's. Throws std::bad_alloc.
  const Feature* build_next();
  // The same in a cell of the caller's (rule 4): `memory` holds record_size() bytes aligned for a
  // pointer. Inline: callers build millions in a row.
  const Feature* build_next_in_cell(void* memory) noexcept {
    assert(slots_ < Feature::kLongCount);
    auto* f = new (memory) Feature();
    f->refs_.store(2, std::memory_order_relaxed);
    f->schema_ = primitive_.return_type;
    f->bits_ = static_cast<std::uint16_t>(slots_ | Feature::kInCell);
    f->primitive_ = &primitive_;
    f->id_ = ids_[built_];
    auto** bases = reinterpret_cast<const Feature**>(f + 1);
    const std::uint32_t* positions = positions_.get() + built_ * slots_;
    // The same for every record of a batch: the branch is always predicted.
    switch (slots_) {
      case 1:
        bases[0] = inputs_[positions[0]];
        break;
      case 2:
        bases[0] = inputs_[positions[0]];
        bases[1] = inputs_[positions[1]];
        break;
      default:
        for (std::size_t k = 0; k < slots_; ++k) bases[k] = inputs_[positions[k]];
    }
    ++built_;
    return f;
  }

  static std::size_t record_size(std::size_t slots) noexcept;

 private:
  const Primitive& primitive_;
  std::size_t slots_;
  const Feature* const* inputs_;
  // Filled in by the engine, so left uninitialised until then.
  std::unique_ptr<Digest[]> ids_;
  std::unique_ptr<std::uint32_t[]> positions_;
  std::size_t size_ = 0;
  std::vector<std::pair<const Feature*, std::uint32_t>> base_refs_;
  std::size_t built_ = 0;
  bool refs_added_ = false;
};

// Drops of references that many records share, merged per record and applied in bulk (rule 5):
// dropping a result of millions of features then costs an atomic operation per input, not three
// per feature. Used by one thread at a time, its owner's; constant-initialised to zeros, so that an
// owner may keep one for the life of the process without a guard on its paths, at no cost in the
// module's file.
class DeferredDrops {
 public:
  // A record whose drops wait here is held at least this many times.
  static constexpr std::uint32_t kShared = 64;

  constexpr DeferredDrops() = default;
  DeferredDrops(const DeferredDrops&) = delete;
  DeferredDrops& operator=(const DeferredDrops&) = delete;

  void drop(const Feature* f) noexcept {
    const std::size_t index = slot_of(f);
    Slot<Feature>& slot = features_[index];
    if (slot.target != f) return take(index, f);
    if (++slot.count == kMaxCount || slot.count == f->refs()) flush(slot);
  }
  void drop(std::span<const Feature* const> bases) noexcept {
    // Most records have two bases: unrolled.
    if (bases.size() == 2) {
      drop(bases[0]);
      drop(bases[1]);
    } else {
      for (const Feature* b : bases) drop(b);
    }
  }
  void drop(const Primitive* p) noexcept {
    // Runs of features share their primitive: the last one is looked at first.
    Slot<Primitive>& slot = primitives_[last_primitive_];
    if (slot.target != p) return take(p);
    if (++slot.count == kMaxCount) flush(slot);
  }

  // Applies every drop that waits.
  void flush_all() noexcept;

 private:
  static constexpr std::uint32_t kMaxCount = 1u << 24;
  static constexpr int kSlotBits = 12;
  static constexpr std::size_t kSlots = std::size_t{1} << kSlotBits;
  static constexpr std::size_t kPrimitiveSlots = 16;

  template <class T>
  struct Slot {
    const T* target = nullptr;
    std::uint32_t count = 0;
  };

  static std::size_t slot_of(const void* p) noexcept {
    return static_cast<std::size_t>(
        (reinterpret_cast<std::uintptr_t>(p) >> 4) * 0x9e3779b97f4a7c15ULL >> (64 - kSlotBits));
  }

  // The slot of `f` holds another record or none: `f` is dropped now if few share it, else it
  // takes the slot over.
  [[gnu::noinline]] void take(std::size_t index, const Feature* f) noexcept;
  [[gnu::noinline]] void take(const Primitive* p) noexcept;
  [[gnu::noinline]] static void flush(Slot<Feature>& slot) noexcept;
  [[gnu::noinline]] static void flush(Slot<Primitive>& slot) noexcept;

  Slot<Feature> features_[kSlots];
  Slot<Primitive> primitives_[kPrimitiveSlots];
  std::size_t last_primitive_ = 0;
  // The slots of features_ taken since the last flush_all(), some perhaps emptied since.
  std::uint16_t occupied_[kSlots] = {};
  std::size_t occupied_count_ = 0;
};

}  // namespace tolvane
