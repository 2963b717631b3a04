#include "memory/record_memory.hpp"

namespace tolvane {
namespace {

// Set once, at import, before any record is made; read by every thread after.
RecordMemory installed;

}  // namespace

void install_record_memory(const RecordMemory& memory) noexcept { installed = memory; }

const RecordMemory& record_memory() noexcept { return installed; }

void DeferredDrops::take(std::size_t index, const Feature* f) noexcept {
  if (f->refs() < kShared) {
    FeatureRef::adopt(f);
    return;
  }
  Slot<Feature>& slot = features_[index];
  if (slot.target) {
    flush(slot);
  } else if (occupied_count_ < kSlots) {
    occupied_[occupied_count_++] = static_cast<std::uint16_t>(index);
  } else {
    flush_all();  // a slot emptied when it was full was taken again: forget the list
    occupied_[occupied_count_++] = static_cast<std::uint16_t>(index);
  }
  slot = {f, 1};
}

void DeferredDrops::take(const Primitive* p) noexcept {
  last_primitive_ = slot_of(p) % kPrimitiveSlots;
  Slot<Primitive>& slot = primitives_[last_primitive_];
  if (slot.target != p) {
    flush(slot);
    slot.target = p;
  }
  if (++slot.count == kMaxCount) flush(slot);
}

void DeferredDrops::flush(Slot<Feature>& slot) noexcept {
  if (slot.target && slot.target->drop_refs(slot.count)) Feature::destroy(slot.target);
  slot = {};
}

void DeferredDrops::flush(Slot<Primitive>& slot) noexcept {
  if (slot.target && slot.target->drop_refs(slot.count)) Primitive::destroy(slot.target);
  slot = {};
}

void DeferredDrops::flush_all() noexcept {
  for (std::size_t i = 0; i < occupied_count_; ++i) flush(features_[occupied_[i]]);
  occupied_count_ = 0;
  for (auto& slot : primitives_) flush(slot);
}

}  // namespace tolvane
