#pragma once

#include <atomic>
#include <cstdint>
#include <cstring>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "column_schema.hpp"
#include "feature/record_arena.hpp"
#include "hash/sha256.hpp"
#include "primitive.hpp"
#include "support/shared_ref.hpp"

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

  // Reference counting. The count is 32 bits wide to keep the record small; one that would pass
  // 2^31 (more references than any memory could hold features) sticks, and the record lives on.
  void add_refs(std::uint64_t n = 1) const noexcept;
  bool drop_ref() const noexcept {
    std::uint32_t refs = refs_.load(std::memory_order_acquire);
    if (refs >= kStickyRefs) return false;
    // The caller's is the only reference: no other thread can add or drop one, so the count
    // needs no atomic update (most records made by a call are held by one object alone).
    if (refs == 1) return true;
    return refs_.fetch_sub(1, std::memory_order_acq_rel) == 1;
  }

  // Releases the record and every ancestor whose last reference it held, iteratively: a chain of
  // any depth is freed without recursion.
  static void destroy(const Feature* f) noexcept;

 private:
  friend class FeatureFactory;
  static constexpr std::uint32_t kStickyRefs = 1u << 31;
  // bits_: the base count when below kLongCount (else a 64-bit count precedes the bases), and
  // two flags.
  static constexpr std::uint16_t kLongCount = 0x1fff;
  static constexpr std::uint16_t kStoredName = 1u << 13;
  static constexpr std::uint16_t kInArena = 1u << 14;

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
//   and the id is the digest of the primitive's id followed by the base ids in hexadecimal
//   (sorted for a commutative primitive).
// - Without: `schema` must be given ("Error unwrapping schema in <name>" otherwise) and the id is
//   the digest of the name.
FeatureRef build_feature(std::string_view name, std::optional<ColumnSchema> schema,
                         const Primitive* generating_primitive,
                         std::span<const Feature* const> base_features);

// Root feature whose id, the digest of its name, the caller has computed (in batches), in memory
// from `arena`.
FeatureRef build_root_feature(RecordArena& arena, std::string_view name, ColumnSchema schema,
                              const Digest& id);

// What a caller spends on each feature it is handed besides the record: an object of four words,
// a slot in its list, and a slot in the vector it is handed over in.
inline constexpr std::size_t kCallerBytesPerFeature = 6 * sizeof(void*);

// Derived features made in bulk by the synthesis engine, their references counted rather than
// added one by one.
//
// Every record holds a reference on its primitive and on each of its bases. The engine makes
// records on its worker threads, where adding those references one at a time would have every
// thread contend on the same few counts. So a batch's records take none when they are made: their
// maker counts, per base, the references they need (set_base_refs), and the one thread that hands
// the batch over adds them all at once (add_refs) before any record can be seen or dropped. Until
// then the records own nothing, and destroying the batch only frees them. Afterwards each record's
// one reference belongs to the batch, or to whoever took it out of records(), and destroying the
// batch drops those it still holds. This type is the only way to make records without references.
class SynthesizedBatch {
 public:
  explicit SynthesizedBatch(const Primitive& primitive) noexcept : primitive_(primitive) {}
  SynthesizedBatch(const SynthesizedBatch&) = delete;
  SynthesizedBatch& operator=(const SynthesizedBatch&) = delete;
  ~SynthesizedBatch();

  void reserve(std::size_t records) { records_.reserve(records); }
  // Appends ids.size() records named after the primitive and their bases, the i-th with the
  // `slots` bases from bases[i * slots] and the id ids[i], in memory from `arena`.
  void make(RecordArena& arena, std::size_t slots, const Feature* const* bases,
            std::span<const Digest> ids);
  // The references the records need on their bases, as (base, count) pairs: all the records'
  // base slots between them.
  void set_base_refs(std::vector<std::pair<const Feature*, std::uint32_t>> counts) noexcept {
    base_refs_ = std::move(counts);
  }
  // Adds the counted references and the primitive's. Once, on one thread.
  void add_refs() noexcept;

  // The records in the order made. Once add_refs() has run, a caller may take a record's
  // reference by nulling its slot.
  std::span<const Feature*> records() noexcept { return records_; }

  // Bytes of one record with `slots` bases.
  static std::size_t record_size(std::size_t slots) noexcept;

 private:
  const Primitive& primitive_;
  std::vector<const Feature*> records_;
  std::vector<std::pair<const Feature*, std::uint32_t>> base_refs_;
  std::size_t base_slots_ = 0;  // of all records made
  bool refs_added_ = false;
};

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
