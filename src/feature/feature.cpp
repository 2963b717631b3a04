#include "feature/feature.hpp"

#include <algorithm>
#include <limits>
#include <new>

#include "support/debug_text.hpp"
#include "support/panic.hpp"

namespace tolvane {

// Allocates and fills records; the only code that knows the record's memory layout.
class FeatureFactory {
 public:
  // `primitive` gains a reference; so does every base feature, unless the caller takes those
  // references itself (`take_refs` false).
  static Feature* make(std::string_view name, ColumnSchema schema, const Primitive* primitive,
                       std::span<const Feature* const> bases, bool take_refs = true) {
    if (name.size() > std::numeric_limits<std::uint32_t>::max() ||
        bases.size() > std::numeric_limits<std::uint32_t>::max()) {
      throw std::bad_alloc();
    }
    std::size_t size = sizeof(Feature) + bases.size() * sizeof(const Feature*) + name.size();
    auto* f = new (::operator new(size)) Feature();
    f->name_size_ = static_cast<std::uint32_t>(name.size());
    f->base_count_ = static_cast<std::uint32_t>(bases.size());
    f->schema_ = schema;
    f->primitive_ = primitive;
    if (primitive && take_refs) primitive->add_refs();
    const Feature** slots = f->bases();
    for (std::size_t i = 0; i < bases.size(); ++i) {
      if (take_refs) bases[i]->add_refs();
      slots[i] = bases[i];
    }
    std::memcpy(f->name_data(), name.data(), name.size());
    return f;
  }

  static char* id(Feature* f) { return f->id_; }

  static FeatureRef copy_with(const Feature& f, std::string_view name, const Primitive* primitive,
                              std::span<const Feature* const> bases) {
    Feature* g = make(name, f.schema(), primitive, bases);
    std::memcpy(g->id_, f.id_, Feature::kIdLength);
    return FeatureRef::adopt(g);
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
      f->~Feature();
      ::operator delete(f);
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

FeatureRef build_derived_feature(std::string_view name, const Primitive& primitive,
                                 const Sha256& prefix, std::span<const Feature* const> base_features,
                                 RefsTaken refs) {
  // The id first: nothing may throw once the record exists, or references the caller has not
  // taken yet would be dropped.
  char id[Feature::kIdLength];
  Sha256 h = prefix;
  if (primitive.commutative && base_features.size() > 1) {
    constexpr std::size_t kInline = 8;
    const Feature* inline_sorted[kInline];
    std::vector<const Feature*> heap_sorted;
    std::span<const Feature*> sorted;
    if (base_features.size() <= kInline) {
      sorted = {inline_sorted, base_features.size()};
    } else {
      heap_sorted.resize(base_features.size());
      sorted = heap_sorted;
    }
    std::copy(base_features.begin(), base_features.end(), sorted.begin());
    std::sort(sorted.begin(), sorted.end(),
              [](const Feature* a, const Feature* b) { return id_less(*a, *b); });
    for (const Feature* b : sorted) h.update(b->id());
  } else {
    for (const Feature* b : base_features) h.update(b->id());
  }
  h.finish_hex(id);
  Feature* f = FeatureFactory::make(name, primitive.return_type, &primitive, base_features,
                                    refs == RefsTaken::here);
  std::memcpy(FeatureFactory::id(f), id, Feature::kIdLength);
  return FeatureRef::adopt(f);
}

FeatureRef build_feature(std::string_view name, std::optional<ColumnSchema> schema,
                         const Primitive* generating_primitive,
                         std::span<const Feature* const> base_features) {
  if (generating_primitive) {
    Sha256 prefix;
    prefix.update(generating_primitive->id);
    return build_derived_feature(name, *generating_primitive, prefix, base_features);
  }
  if (!schema) panic("Error unwrapping schema in " + std::string(name));
  Feature* f = FeatureFactory::make(name, *schema, nullptr, base_features);
  FeatureRef owned = FeatureRef::adopt(f);
  Sha256 h;
  h.update(name);
  h.finish_hex(FeatureFactory::id(f));
  return owned;
}

FeatureRef build_root_feature(std::string_view name, ColumnSchema schema, const Digest& id) {
  Feature* f = FeatureFactory::make(name, schema, nullptr, {});
  hex_digest(id, FeatureFactory::id(f));
  return FeatureRef::adopt(f);
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
  std::string out(f.name());
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
  out += ":[";
  auto bases = f.base_features();
  for (std::size_t i = 0; i < bases.size(); ++i) {
    if (i) out += ", ";
    append_quoted(out, bases[i]->name());
  }
  out += ']';
  return out;
}

}  // namespace tolvane
