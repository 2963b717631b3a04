#include "feature/feature.hpp"

#include <algorithm>
#include <cassert>
#include <limits>
#include <new>

#include "support/debug_text.hpp"
#include "support/panic.hpp"
#include "support/text_forms.hpp"

namespace tolvane {

// Allocates, fills and frees records; the only code that knows the record's memory layout.
class FeatureFactory {
 public:
  static std::size_t size_of(std::size_t base_count, std::optional<std::string_view> name) {
    if (name && name->size() > std::numeric_limits<std::uint32_t>::max()) throw std::bad_alloc();
    std::size_t size = sizeof(Feature) + (base_count >= Feature::kLongCount ? 8 : 0) +
                       base_count * sizeof(const Feature*);
    if (name) size += sizeof(std::uint32_t) + name->size();
    return (size + 7) & ~std::size_t{7};
  }

  // A record with one reference, owned by the caller. `name` absent: the name is derived. The
  // primitive and bases gain a reference each unless the caller counts them (`take_refs` false).
  static Feature* make(void* memory, bool in_arena, std::optional<std::string_view> name,
                       ColumnSchema schema, const Primitive* primitive,
                       std::span<const Feature* const> bases, const Digest& id, bool take_refs) {
    auto* f = new (memory) Feature();
    f->schema_ = schema;
    f->primitive_ = primitive;
    f->id_ = id;
    f->bits_ = static_cast<std::uint16_t>(std::min<std::size_t>(bases.size(), Feature::kLongCount));
    if (name) f->bits_ |= Feature::kStoredName;
    if (in_arena) f->bits_ |= Feature::kInArena;
    char* tail = reinterpret_cast<char*>(f + 1);
    if (f->long_count()) {
      std::uint64_t n = bases.size();
      std::memcpy(tail, &n, sizeof n);
      tail += sizeof n;
    }
    // A loop, not memcpy: most records have one or two bases, too few for a library call.
    auto* slots = reinterpret_cast<const Feature**>(tail);
    for (std::size_t i = 0; i < bases.size(); ++i) slots[i] = bases[i];
    tail += bases.size() * sizeof(const Feature*);
    if (name) {
      auto size = static_cast<std::uint32_t>(name->size());
      std::memcpy(tail, &size, sizeof size);
      if (size) std::memcpy(tail + sizeof size, name->data(), size);
    }
    if (take_refs) {
      if (primitive) primitive->add_refs();
      for (const Feature* b : bases) b->add_refs();
    }
    return f;
  }

  // A record on the heap, taking its references.
  static FeatureRef make_owned(std::optional<std::string_view> name, ColumnSchema schema,
                               const Primitive* primitive, std::span<const Feature* const> bases,
                               const Digest& id) {
    void* memory = ::operator new(size_of(bases.size(), name));
    return FeatureRef::adopt(make(memory, false, name, schema, primitive, bases, id, true));
  }

  static Feature* make_in(RecordArena& arena, std::optional<std::string_view> name,
                          ColumnSchema schema, const Primitive* primitive,
                          std::span<const Feature* const> bases, const Digest& id, bool take_refs) {
    std::size_t size = size_of(bases.size(), name);
    bool in_arena = size <= RecordArena::kMaxRecord;
    void* memory = in_arena ? arena.allocate(size) : ::operator new(size);
    return make(memory, in_arena, name, schema, primitive, bases, id, take_refs);
  }

  static FeatureRef copy_with(const Feature& f, std::string_view name, const Primitive* primitive,
                              std::span<const Feature* const> bases) {
    return make_owned(name, f.schema(), primitive, bases, f.id());
  }

  static void free(const Feature* f) noexcept {
    bool in_arena = f->bits_ & Feature::kInArena;
    void* memory = const_cast<Feature*>(f);
    f->~Feature();
    if (in_arena) {
      RecordArena::release(memory);
    } else {
      ::operator delete(memory);
    }
  }

  static void destroy(const Feature* first) noexcept {
    // Records whose last reference is gone wait on an intrusive list threaded through their
    // primitive slot, so unwinding a deep ancestry needs neither recursion nor allocation.
    Feature* dead = unlink(const_cast<Feature*>(first), nullptr);
    while (dead) {
      Feature* f = dead;
      dead = f->next_dead_;
      for (const Feature* base : f->base_features()) {
        if (base->drop_ref()) dead = unlink(const_cast<Feature*>(base), dead);
      }
      free(f);
    }
  }

  static bool stored(const Feature& f) { return f.bits_ & Feature::kStoredName; }
  static std::string_view stored_name(const Feature& f) { return f.stored_name(); }

 private:
  static Feature* unlink(Feature* f, Feature* next) noexcept {
    if (const Primitive* p = f->primitive_; p && p->drop_ref()) Primitive::destroy(p);
    f->next_dead_ = next;
    return f;
  }
};

void Feature::destroy(const Feature* f) noexcept { FeatureFactory::destroy(f); }

void Feature::add_refs(std::uint64_t n) const noexcept {
  // A count that would pass the top is pinned halfway above it, where no run of releases can
  // bring it down to zero.
  std::uint32_t old = refs_.load(std::memory_order_relaxed);
  while (old < kStickyRefs) {
    std::uint64_t next = old + n;
    auto updated =
        next >= kStickyRefs ? kStickyRefs | (kStickyRefs >> 1) : static_cast<std::uint32_t>(next);
    if (refs_.compare_exchange_weak(old, updated, std::memory_order_relaxed)) return;
  }
}

void Feature::append_name(std::string& out) const {
  if (bits_ & kStoredName) {
    out += stored_name();
    return;
  }
  // Pieces still to write, last first: records, or null for a "_" between two base names.
  std::vector<const Feature*> pending{this};
  while (!pending.empty()) {
    const Feature* f = pending.back();
    pending.pop_back();
    if (!f) {
      out += '_';
    } else if (FeatureFactory::stored(*f)) {
      out += FeatureFactory::stored_name(*f);
    } else {
      out += f->primitive_->name;
      out += '_';
      auto bases = f->base_features();
      for (std::size_t i = bases.size(); i-- > 0;) {
        pending.push_back(bases[i]);
        if (i) pending.push_back(nullptr);
      }
    }
  }
}

std::string Feature::name() const {
  std::string out;
  append_name(out);
  return out;
}

namespace {

Digest derived_id(const Primitive& primitive, std::span<const Feature* const> bases) {
  std::vector<const Feature*> order(bases.begin(), bases.end());
  if (primitive.commutative) {
    std::sort(order.begin(), order.end(),
              [](const Feature* a, const Feature* b) { return id_less(*a, *b); });
  }
  Sha256 h;
  h.update(primitive.id);
  char hex[64];
  for (const Feature* b : order) {
    hex_digest(b->id(), hex);
    h.update({hex, sizeof hex});
  }
  return h.finish();
}

}  // namespace

FeatureRef build_feature(std::string_view name, std::optional<ColumnSchema> schema,
                         const Primitive* generating_primitive,
                         std::span<const Feature* const> base_features) {
  if (generating_primitive) {
    return FeatureFactory::make_owned(name, generating_primitive->return_type, generating_primitive,
                                      base_features,
                                      derived_id(*generating_primitive, base_features));
  }
  if (!schema) panic("Error unwrapping schema in " + std::string(name));
  Sha256 h;
  h.update(name);
  return FeatureFactory::make_owned(name, *schema, nullptr, base_features, h.finish());
}

FeatureRef build_root_feature(RecordArena& arena, std::string_view name, ColumnSchema schema,
                              const Digest& id) {
  return FeatureRef::adopt(FeatureFactory::make_in(arena, name, schema, nullptr, {}, id, true));
}

SynthesizedBatch::~SynthesizedBatch() {
  for (const Feature* f : records_) {
    if (!f) continue;
    if (refs_added_) {
      FeatureRef::adopt(f);
    } else {
      FeatureFactory::free(f);
    }
  }
}

void SynthesizedBatch::make(RecordArena& arena, std::size_t slots, const Feature* const* bases,
                            std::span<const Digest> ids) {
  const std::size_t size = record_size(slots);
  const bool in_arena = size <= RecordArena::kMaxRecord;
  std::size_t made = records_.size();
  records_.resize(made + ids.size());
  for (std::size_t i = 0; i < ids.size(); ++i) {
    void* memory = in_arena ? arena.allocate(size) : ::operator new(size);
    records_[made + i] =
        FeatureFactory::make(memory, in_arena, std::nullopt, primitive_.return_type, &primitive_,
                             {bases + i * slots, slots}, ids[i], false);
  }
  base_slots_ += slots * ids.size();
}

void SynthesizedBatch::add_refs() noexcept {
  assert(!refs_added_);
  std::uint64_t counted = 0;
  for (const auto& [base, n] : base_refs_) {
    base->add_refs(n);
    counted += n;
  }
  assert(counted == base_slots_);
  (void)counted;
  primitive_.add_refs(records_.size());
  refs_added_ = true;
}

std::size_t SynthesizedBatch::record_size(std::size_t slots) noexcept {
  return FeatureFactory::size_of(slots, std::nullopt);
}

FeatureRef with_name(const Feature& f, std::string_view name) {
  return FeatureFactory::copy_with(f, name, f.generating_primitive(), f.base_features());
}

FeatureRef with_base_features(const Feature& f, std::span<const Feature* const> base_features) {
  return FeatureFactory::copy_with(f, f.name(), f.generating_primitive(), base_features);
}

FeatureRef with_generating_primitive(const Feature& f, const Primitive* primitive) {
  return FeatureFactory::copy_with(f, f.name(), primitive, f.base_features());
}

std::vector<const Feature*> pointers(std::span<const FeatureRef> refs) {
  std::vector<const Feature*> out;
  out.reserve(refs.size());
  for (const auto& r : refs) out.push_back(r.get());
  return out;
}

std::string feature_text(const Feature& f) {
  std::string out = f.name();
  out += ':';
  append_schema_debug(out, f.schema());
  out += ':';
  if (const Primitive* p = f.generating_primitive()) {
    out += "Some(";
    append_primitive_debug(out, *p);
    out += ')';
  } else {
    out += "None";
  }
  out += ':';
  std::string name;
  append_list(out, f.base_features(), ", ", [&](std::string& out, const Feature* base) {
    name.clear();
    base->append_name(name);
    append_quoted(out, name);
  });
  return out;
}

}  // namespace tolvane
