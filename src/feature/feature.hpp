#pragma once

#include <atomic>
#include <cassert>
#include <cstdint>
#include <cstring>
#include <memory>
#include <new>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "column_schema.hpp"
#include "hash/sha256.hpp"
#include "memory/shared_ref.hpp"
#include "primitive.hpp"

namespace tolvane {

// One column of a feature set: a name, an identity (a raw SHA-256 digest), a schema and, for a
// derived feature, its generating primitive and base features.
//
// A record is immutable and lives in one allocation: a 48-byte header, then the base-feature
// pointers, then the name when it is stored. Base features and the primitive are shared by
// reference, so copying a feature, or making it the base of another, costs O(1) whatever its
// ancestry. The synthesis engine stores no name: a derived name is fully determined by the
// primitive's name and the bases' names (all immutable), so it is built when it is read.
class Feature {
 public:
  const Digest& id() const noexcept { return id_; }
  ColumnSchema schema() const noexcept { return schema_; }
  std::span<const Feature* const> base_features() const noexcept { return {bases(), base_count()}; }
  // Null for a root feature.
  const Primitive* generating_primitive() const noexcept { return primitive_; }

  // The name: the one stored, or the primitive's name, "_" and the bases' names joined by "_".
  // Built iteratively, so a chain of any depth reads without recursion.
  void append_name(std::string& out) const;
  std::string name() const;
  // Writes the name to `out` when it fits in `capacity` bytes, and returns its size either way:
  // most names fit a buffer on the caller's stack.
  std::size_t write_name(char* out, std::size_t capacity) const;

  // Reference counting (memory/record_memory.hpp has the rules). The count is 32 bits wide to keep
  // the record small; one that would pass 2^31 (more references than any memory could hold
  // features) sticks, and the record lives on.
  void add_refs(std::uint64_t n = 1) const noexcept;
  bool drop_ref() const noexcept {
    std::uint32_t refs = refs_.load(std::memory_order_acquire);
    if (refs >= kStickyRefs) return false;
    // The caller's is the only reference: no other thread can add or drop one, so the count
    // needs no atomic update (most records made by a call are held by one object alone).
    if (refs == 1) return true;
    return refs_.fetch_sub(1, std::memory_order_acq_rel) == 1;
  }

  // Drops `n` (below 2^30) references at once; true when they were the last.
  bool drop_refs(std::uint32_t n) const noexcept {
    if (refs_.load(std::memory_order_acquire) >= kStickyRefs) return false;
    return refs_.fetch_sub(n, std::memory_order_acq_rel) == n;
  }
  // The count as it stands, which only a holder of every reference can rely on.
  std::uint32_t refs() const noexcept { return refs_.load(std::memory_order_acquire); }

  // Releases the record and every ancestor whose last reference it held, iteratively: a chain of
  // any depth is freed without recursion.
  static void destroy(const Feature* f) noexcept;

  // Ends the life of a record in a cell (memory/record_memory.hpp) whose last reference its caller
  // dropped, handing the caller, instead of dropping them, the references it held: `bases(span)`
  // on its bases, one per slot, then `primitive(p)` when it has one. The cell's memory stays the
  // caller's to free.
  template <class Bases, class Prim>
  static void take_apart(const Feature* f, Bases&& bases, Prim&& primitive) noexcept {
    bases(f->base_features());
    if (f->primitive_) primitive(f->primitive_);
    f->~Feature();
  }

 private:
  friend class FeatureFactory;
  friend class SynthesizedBatch;
  static constexpr std::uint32_t kStickyRefs = 1u << 31;
  // bits_: the base count when below kLongCount (else a 64-bit count precedes the bases), and
  // flags.
  static constexpr std::uint16_t kLongCount = 0x1fff;
  static constexpr std::uint16_t kStoredName = 1u << 13;
  static constexpr std::uint16_t kInCell = 1u << 14;
  static constexpr std::uint16_t kRegisteredMemory = 1u << 15;  // from RecordMemory::allocate

  Feature() = default;

  bool long_count() const noexcept { return (bits_ & kLongCount) == kLongCount; }
  std::size_t base_count() const noexcept {
    if (!long_count()) return bits_ & kLongCount;
    std::uint64_t n;
    std::memcpy(&n, this + 1, sizeof n);
    return static_cast<std::size_t>(n);
  }
  const Feature* const* bases() const noexcept {
    return reinterpret_cast<const Feature* const*>(reinterpret_cast<const char*>(this + 1) +
                                                   (long_count() ? 8 : 0));
  }
  const char* name_field() const noexcept {
    return reinterpret_cast<const char*>(bases() + base_count());
  }
  std::string_view stored_name() const noexcept {
    std::uint32_t size;
    std::memcpy(&size, name_field(), sizeof size);
    return {name_field() + sizeof size, size};
  }

  mutable std::atomic<std::uint32_t> refs_{1};
  ColumnSchema schema_;
  std::uint16_t bits_ = 0;
  union {
    const Primitive* primitive_;  // owned reference, or null
    Feature* next_dead_;          // used only while destroy() unwinds
  };
  Digest id_;
};

static_assert(sizeof(Feature) == 48 && alignof(Feature) == alignof(const Feature*));

using FeatureRef = SharedRef<Feature>;

// Identity ordering and hashing: features are equal exactly when their ids are. Byte order of the
// raw digests is the order of their hexadecimal texts.
inline bool same_id(const Feature& a, const Feature& b) noexcept { return a.id() == b.id(); }
inline bool id_less(const Feature& a, const Feature& b) noexcept {
  return std::memcmp(a.id().data(), b.id().data(), a.id().size()) < 0;
}
// Ids are digests, so a few of their bytes make a good hash.
inline std::size_t id_hash(const Feature& f) noexcept {
  std::uint64_t a, b;
  std::memcpy(&a, f.id().data(), 8);
  std::memcpy(&b, f.id().data() + 8, 8);
  return static_cast<std::size_t>((a * 0x9e3779b97f4a7c15ULL) ^ (b + (a >> 29)));
}

// The one constructor of features.
// - With a primitive: the schema is the primitive's return type (the `schema` argument is ignored)
//   and the id is derived_id() (feature/feature_id.hpp).
// - Without: `schema` must be given ("Error unwrapping schema in <name>" otherwise) and the id is
//   root_id() of the name.
FeatureRef build_feature(std::string_view name, std::optional<ColumnSchema> schema,
                         const Primitive* generating_primitive,
                         std::span<const Feature* const> base_features);

// Root feature whose id, the digest of its name, the caller has computed (in batches).
FeatureRef build_root_feature(std::string_view name, ColumnSchema schema, const Digest& id);

// Copies with one field replaced; the id (and the schema) always stay, and so does the name as
// it read before.
FeatureRef with_name(const Feature& f, std::string_view name);
FeatureRef with_base_features(const Feature& f, std::span<const Feature* const> base_features);
FeatureRef with_generating_primitive(const Feature& f, const Primitive* primitive);

// Plain pointers to the records `refs` keeps alive.
std::vector<const Feature*> pointers(std::span<const FeatureRef> refs);

// name:ColumnSchema { ... }:None|Some(Primitive { ... }):["base", ...]
std::string feature_text(const Feature& f);

}  // namespace tolvane
