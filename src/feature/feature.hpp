#pragma once

#include <cstdint>
#include <cstring>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "column_schema.hpp"
#include "primitive.hpp"
#include "support/sha256.hpp"
#include "support/shared_ref.hpp"

namespace tolvane {

// One column of a feature set: a name, an identity (SHA-256, 64 lower-case hex digits), a schema
// and, for a derived feature, its generating primitive and base features.
//
// A record is immutable and lives in one allocation: the fixed fields, then the base-feature
// pointers, then the name's bytes. Base features and the primitive are shared by reference, so
// copying a feature, or making it the base of another, costs O(1) whatever its ancestry.
class Feature : public RefCounted {
 public:
  static constexpr std::size_t kIdLength = Sha256::kHexLength;

  std::string_view name() const noexcept { return {name_data(), name_size_}; }
  std::string_view id() const noexcept { return {id_, kIdLength}; }
  ColumnSchema schema() const noexcept { return schema_; }
  std::span<const Feature* const> base_features() const noexcept { return {bases(), base_count_}; }
  // Null for a root feature.
  const Primitive* generating_primitive() const noexcept { return primitive_; }

  // Releases the record and every ancestor whose last reference it held, iteratively: a chain of
  // any depth is freed without recursion.
  static void destroy(const Feature* f) noexcept;

 private:
  friend class FeatureFactory;
  Feature() = default;

  const Feature** bases() noexcept { return reinterpret_cast<const Feature**>(this + 1); }
  const Feature* const* bases() const noexcept {
    return reinterpret_cast<const Feature* const*>(this + 1);
  }
  char* name_data() noexcept { return reinterpret_cast<char*>(bases() + base_count_); }
  const char* name_data() const noexcept {
    return reinterpret_cast<const char*>(bases() + base_count_);
  }

  std::uint32_t name_size_ = 0;
  std::uint32_t base_count_ = 0;
  union {
    const Primitive* primitive_;  // owned reference, or null
    Feature* next_dead_;          // used only while destroy() unwinds
  };
  ColumnSchema schema_;
  char id_[kIdLength];
};

static_assert(alignof(Feature) == alignof(const Feature*));

using FeatureRef = SharedRef<Feature>;

// Identity ordering and hashing: features are equal exactly when their ids are.
inline bool same_id(const Feature& a, const Feature& b) noexcept {
  return std::memcmp(a.id().data(), b.id().data(), Feature::kIdLength) == 0;
}
inline bool id_less(const Feature& a, const Feature& b) noexcept {
  return std::memcmp(a.id().data(), b.id().data(), Feature::kIdLength) < 0;
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
//   and the id is the digest of the primitive's id followed by the base ids (sorted for a
//   commutative primitive).
// - Without: `schema` must be given ("Error unwrapping schema in <name>" otherwise) and the id is
//   the digest of the name.
FeatureRef build_feature(std::string_view name, std::optional<ColumnSchema> schema,
                         const Primitive* generating_primitive,
                         std::span<const Feature* const> base_features);

// Root feature whose id, the digest of its name, the caller has computed (in batches).
FeatureRef build_root_feature(std::string_view name, ColumnSchema schema, const Digest& id);

// Who adds the new feature's references to its primitive and bases: this call, or the caller,
// who batches them (threads sharing a primitive would otherwise contend on its count for every
// feature) and must add them before anything can drop them.
enum class RefsTaken { here, by_caller };

// Derived feature whose primitive id has already been absorbed into `prefix` (the synthesis hot
// path copies one hashing state per new feature instead of rehashing the primitive id).
FeatureRef build_derived_feature(std::string_view name, const Primitive& primitive,
                                 const Sha256& prefix, std::span<const Feature* const> base_features,
                                 RefsTaken refs = RefsTaken::here);

// Copies with one field replaced; the id (and the schema) always stay.
FeatureRef with_name(const Feature& f, std::string_view name);
FeatureRef with_base_features(const Feature& f, std::span<const Feature* const> base_features);
FeatureRef with_generating_primitive(const Feature& f, const Primitive* primitive);

// Plain pointers to the records `refs` keeps alive.
std::vector<const Feature*> pointers(std::span<const FeatureRef> refs);

// name:ColumnSchema { ... }:None|Some(Primitive { ... }):["base", ...]
std::string feature_text(const Feature& f);

}  // namespace tolvane
