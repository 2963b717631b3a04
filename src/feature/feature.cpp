#include "feature/feature.hpp"

#include <algorithm>
#include <cassert>
#include <limits>
#include <new>

#include "feature/feature_id.hpp"
#include "memory/record_memory.hpp"
#include "support/debug_text.hpp"
#include "support/panic.hpp"
#include "support/text_forms.hpp"

namespace tolvane {

namespace {

// Pieces of a name still to write, last first: records, or null for a "_" between two base names.
// Most names need few; deep ones spill to the heap.
class PendingPieces {
 public:
  bool empty() const noexcept { return size_ == 0; }
  void push(const Feature* f) {
    if (size_ < kInline) {
      inline_[size_++] = f;
    } else {
      spill_.push_back(f);
      ++size_;
    }
  }
  const Feature* pop() noexcept {
    --size_;
    if (size_ < kInline) return inline_[size_];
    const Feature* f = spill_.back();
    spill_.pop_back();
    return f;
  }

 private:
  static constexpr std::size_t kInline = 32;
  const Feature* inline_[kInline];
  std::size_t size_ = 0;
  std::vector<const Feature*> spill_;
};

}  // namespace

// Allocates, fills and frees records; with SynthesizedBatch::build_next_in_cell (inline in the
// record memory header for the hot path), the only code that knows the record's memory layout.
class FeatureFactory {
 public:
  static std::size_t size_of(std::size_t base_count, std::optional<std::string_view> name) {
    if (name && name->size() > std::numeric_limits<std::uint32_t>::max()) throw std::bad_alloc();
    std::size_t size = sizeof(Feature) + (base_count >= Feature::kLongCount ? 8 : 0) +
                       base_count * sizeof(const Feature*);
    if (name) size += sizeof(std::uint32_t) + name->size();
    return (size + 7) & ~std::size_t{7};
  }

  // A record with one reference, the caller's. `name` absent: the name is derived. The
  // primitive and the bases (base_at(0), base_at(1), ...) gain a reference each unless the caller
  // counts them (`take_refs` false).
  template <class BaseAt>
  static Feature* make(void* memory, std::optional<std::string_view> name, ColumnSchema schema,
                       const Primitive* primitive, std::size_t base_count, BaseAt&& base_at,
                       const Digest& id, bool take_refs) {
    auto* f = new (memory) Feature();
    f->schema_ = schema;
    f->primitive_ = primitive;
    f->id_ = id;
    f->bits_ = static_cast<std::uint16_t>(std::min<std::size_t>(base_count, Feature::kLongCount));
    if (name) f->bits_ |= Feature::kStoredName;
    char* tail = reinterpret_cast<char*>(f + 1);
    if (f->long_count()) {
      std::uint64_t n = base_count;
      std::memcpy(tail, &n, sizeof n);
      tail += sizeof n;
    }
    // A loop, not memcpy: most records have one or two bases, too few for a library call.
    auto* slots = reinterpret_cast<const Feature**>(tail);
    for (std::size_t i = 0; i < base_count; ++i) slots[i] = base_at(i);
    tail += base_count * sizeof(const Feature*);
    if (name) {
      auto size = static_cast<std::uint32_t>(name->size());
      std::memcpy(tail, &size, sizeof size);
      if (size) std::memcpy(tail + sizeof size, name->data(), size);
    }
    if (take_refs) {
      if (primitive) primitive->add_refs();
      for (const Feature* b : f->base_features()) b->add_refs();
    }
    return f;
  }

  // A record on the heap, taking its references.
  static FeatureRef make_owned(std::optional<std::string_view> name, ColumnSchema schema,
                               const Primitive* primitive, std::span<const Feature* const> bases,
                               const Digest& id) {
    const std::size_t size = size_of(bases.size(), name);
    const RecordMemory& where = record_memory();
    void* memory = where.allocate ? where.allocate(size) : nullptr;
    const bool registered = memory != nullptr;
    if (!registered) memory = ::operator new(size);
    Feature* f = make(
        memory, name, schema, primitive, bases.size(), [&](std::size_t i) { return bases[i]; }, id,
        true);
    if (registered) f->bits_ |= Feature::kRegisteredMemory;
    return FeatureRef::adopt(f);
  }

  static FeatureRef copy_with(const Feature& f, std::string_view name, const Primitive* primitive,
                              std::span<const Feature* const> bases) {
    return make_owned(name, f.schema(), primitive, bases, f.id());
  }

  static void free(const Feature* f) noexcept {
    const std::uint16_t bits = f->bits_;
    f->~Feature();
    if (bits & Feature::kInCell) {
      record_memory().release_cell(f);
    } else if (bits & Feature::kRegisteredMemory) {
      record_memory().release(f);
    } else {
      ::operator delete(const_cast<Feature*>(f));
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

  static bool has_stored_name(const Feature* f) noexcept { return f->bits_ & Feature::kStoredName; }

  // A stored name, or one made of the primitive's and the bases' stored names.
  static bool named_from_stored_names(const Feature* f) noexcept {
    auto bases = f->base_features();
    return has_stored_name(f) || std::all_of(bases.begin(), bases.end(), has_stored_name);
  }

  // The pieces of the name of `f`, a derived feature whose bases all have stored names.
  template <class Piece>
  static void join_stored_names(const Feature& f, Piece& piece) {
    piece(std::string_view(f.primitive_->name));
    piece(std::string_view("_"));
    auto bases = f.base_features();
    for (std::size_t i = 0; i < bases.size(); ++i) {
      if (i) piece(std::string_view("_"));
      piece(bases[i]->stored_name());
    }
  }

  // `piece(text)` for each piece of the name of `f`, in order.
  template <class Piece>
  static void name_pieces(const Feature& f, Piece&& piece) {
    if (f.bits_ & Feature::kStoredName) {
      piece(f.stored_name());
      return;
    }
    // Most derived names, of the first and second levels, without the stack below.
    auto bases = f.base_features();
    if (std::all_of(bases.begin(), bases.end(), has_stored_name)) {
      join_stored_names(f, piece);
      return;
    }
    if (std::all_of(bases.begin(), bases.end(), named_from_stored_names)) {
      piece(std::string_view(f.primitive_->name));
      piece(std::string_view("_"));
      for (std::size_t i = 0; i < bases.size(); ++i) {
        if (i) piece(std::string_view("_"));
        if (has_stored_name(bases[i])) {
          piece(bases[i]->stored_name());
        } else {
          join_stored_names(*bases[i], piece);
        }
      }
      return;
    }
    PendingPieces pending;
    pending.push(&f);
    while (!pending.empty()) {
      const Feature* g = pending.pop();
      if (!g) {
        piece(std::string_view("_"));
      } else if (g->bits_ & Feature::kStoredName) {
        piece(g->stored_name());
      } else {
        piece(std::string_view(g->primitive_->name));
        piece(std::string_view("_"));
        auto bases = g->base_features();
        for (std::size_t i = bases.size(); i-- > 0;) {
          pending.push(bases[i]);
          if (i) pending.push(nullptr);
        }
      }
    }
  }

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
  FeatureFactory::name_pieces(*this, [&](std::string_view piece) { out += piece; });
}

namespace {

// memcpy for the short pieces of names, without a library call: overlapping words, never a byte
// outside either range.
inline void copy_short(char* to, const char* from, std::size_t n) noexcept {
  if (n >= 8 && n <= 16) {
    std::uint64_t a, b;
    std::memcpy(&a, from, 8);
    std::memcpy(&b, from + n - 8, 8);
    std::memcpy(to, &a, 8);
    std::memcpy(to + n - 8, &b, 8);
  } else if (n >= 4 && n < 8) {
    std::uint32_t a, b;
    std::memcpy(&a, from, 4);
    std::memcpy(&b, from + n - 4, 4);
    std::memcpy(to, &a, 4);
    std::memcpy(to + n - 4, &b, 4);
  } else if (n < 4) {
    for (std::size_t i = 0; i < n; ++i) to[i] = from[i];
  } else {
    std::memcpy(to, from, n);
  }
}

}  // namespace

std::size_t Feature::write_name(char* out, std::size_t capacity) const {
  std::size_t size = 0;
  FeatureFactory::name_pieces(*this, [&](std::string_view piece) {
    if (size + piece.size() <= capacity) copy_short(out + size, piece.data(), piece.size());
    size += piece.size();
  });
  return size;
}

std::string Feature::name() const {
  std::string out;
  append_name(out);
  return out;
}

FeatureRef build_feature(std::string_view name, std::optional<ColumnSchema> schema,
                         const Primitive* generating_primitive,
                         std::span<const Feature* const> base_features) {
  if (generating_primitive) {
    return FeatureFactory::make_owned(name, generating_primitive->return_type, generating_primitive,
                                      base_features,
                                      derived_id(*generating_primitive, base_features));
  }
  if (!schema) panic(std::string(kSchemaMissing) + std::string(name));
  return FeatureFactory::make_owned(name, *schema, nullptr, base_features, root_id(name));
}

FeatureRef build_root_feature(std::string_view name, ColumnSchema schema, const Digest& id) {
  return FeatureFactory::make_owned(name, schema, nullptr, {}, id);
}

SynthesizedBatch::SynthesizedBatch(const Primitive& primitive, std::size_t slots,
                                   const Feature* const* inputs, std::size_t capacity)
    : primitive_(primitive),
      slots_(slots),
      inputs_(inputs),
      ids_(std::make_unique_for_overwrite<Digest[]>(capacity)),
      positions_(std::make_unique_for_overwrite<std::uint32_t[]>(capacity * slots)) {}

SynthesizedBatch::~SynthesizedBatch() {
  if (!refs_added_) return;
  // The references of the features never built.
  for (std::size_t i = built_; i < size_; ++i) {
    for (std::size_t k = 0; k < slots_; ++k) FeatureRef::adopt(inputs_[positions_[i * slots_ + k]]);
    PrimitiveRef::adopt(&primitive_);
  }
}

void SynthesizedBatch::add_refs() noexcept {
  assert(!refs_added_);
  std::uint64_t counted = 0;
  for (const auto& [base, n] : base_refs_) {
    base->add_refs(n);
    counted += n;
  }
  assert(counted == size_ * slots_);
  (void)counted;
  primitive_.add_refs(size_);
  refs_added_ = true;
}

const Feature* SynthesizedBatch::build_next() {
  void* memory = ::operator new(record_size());
  const std::uint32_t* positions = positions_.get() + built_ * slots_;
  return FeatureFactory::make(
      memory, std::nullopt, primitive_.return_type, &primitive_, slots_,
      [&](std::size_t k) { return inputs_[positions[k]]; }, ids_[built_++], false);
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
