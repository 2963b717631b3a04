#include "feature/feature_file.hpp"

#include <unordered_set>
#include <vector>

#include "catalogue.hpp"
#include "feature/feature_set.hpp"
#include "support/file_io.hpp"
#include "support/huge_pages.hpp"
#include "support/json_writer.hpp"
#include "support/panic.hpp"
#include "support/text_forms.hpp"

namespace tolvane {
namespace {

struct PrimitiveContentHash {
  std::size_t operator()(const Primitive* p) const noexcept { return PrimitiveHash{}(*p); }
};
struct PrimitiveContentEqual {
  bool operator()(const Primitive* a, const Primitive* b) const noexcept { return *a == *b; }
};

// The text is reserved once, from sizes summed in the walk: a file can run to gigabytes, and a
// buffer that grew would be copied and lose its huge pages. A feature object is its frame, with
// the comma after it, filled with its id, name, type names, base ids and primitive id.
constexpr std::size_t kIdSize = 64;  // hex digits
constexpr std::size_t kFeatureFrameSize =
    std::string_view(R"({"name":"","id":"","schema":{"logical_type":"","semantic_tag":""},)"
                     R"("base_features":[],"generating_primitive":},)")
        .size() +
    kIdSize;
constexpr std::size_t kBaseIdSize = kIdSize + 3;  // "<id>",
constexpr std::string_view kNoPrimitive = "null";
constexpr std::size_t kFileFrameSize = std::string_view(R"({"features":[],"primitives":})").size();

// The distinct features and primitives of a feature graph, in the order first met, with the
// features' names (built once, each ending where the next begins).
struct Gathered {
  std::vector<const Feature*> features;
  std::string names;
  std::vector<std::size_t> name_ends;
  std::vector<const Primitive*> primitives;
  // Of the features' text: a bound unless names or primitive ids need escaping.
  std::size_t features_text_size = 0;

  std::string_view name(std::size_t i) const {
    std::size_t begin = i ? name_ends[i - 1] : 0;
    return std::string_view(names).substr(begin, name_ends[i] - begin);
  }
};

Gathered gather(std::span<const FeatureRef> roots) {
  Gathered out;
  FeatureIdSet ids(roots.size());
  // Records walked that did not become the member for their id (another record with that id
  // came first). A record's walk depends on the record alone, and everything it meets was kept
  // or dropped the first time, so a record is walked once: linear in the records reachable,
  // however many paths lead to them.
  std::unordered_set<const Feature*> walked_non_members;
  std::unordered_set<const Primitive*> primitive_records;
  std::unordered_set<const Primitive*, PrimitiveContentHash, PrimitiveContentEqual> primitives;

  std::vector<const Feature*> stack;
  for (const auto& root : roots) {
    stack.push_back(root.get());
    while (!stack.empty()) {
      const Feature* f = stack.back();
      stack.pop_back();
      if (!ids.insert(f)) {
        // A different record with a known id may have other ancestors: walked once as well.
        if (ids.find(*f) == f || !walked_non_members.insert(f).second) continue;
      } else {
        out.features.push_back(f);
        std::size_t before = out.names.size();
        f->append_name(out.names);
        out.name_ends.push_back(out.names.size());
        const Primitive* p = f->generating_primitive();
        out.features_text_size += kFeatureFrameSize + (out.names.size() - before) +
                                  canonical_name(f->schema().logical_type).size() +
                                  canonical_name(f->schema().semantic_tag).size() +
                                  kBaseIdSize * f->base_features().size() +
                                  (p ? p->id.size() + 2 /* quotes */ : kNoPrimitive.size());
      }
      if (const Primitive* p = f->generating_primitive();
          p && primitive_records.insert(p).second && primitives.insert(p).second) {
        out.primitives.push_back(p);
      }
      auto bases = f->base_features();
      for (auto it = bases.rbegin(); it != bases.rend(); ++it) stack.push_back(*it);
    }
  }
  return out;
}

void append_id(std::string& out, const Feature& f) {
  std::size_t at = out.size();
  out.resize(at + kIdSize);
  hex_digest(f.id(), out.data() + at);
}

void append_feature_json(std::string& out, const Feature& f, std::string_view name) {
  out += "{\"name\":";
  append_json_string(out, name);
  out += ",\"id\":\"";
  append_id(out, f);
  out += "\",\"schema\":";
  append_schema_json(out, f.schema());
  out += ",\"base_features\":";
  append_list(out, f.base_features(), ",", [](std::string& out, const Feature* base) {
    out += '"';
    append_id(out, *base);
    out += '"';
  });
  out += ",\"generating_primitive\":";
  if (const Primitive* p = f.generating_primitive()) {
    append_json_string(out, p->id);
  } else {
    out += kNoPrimitive;
  }
  out += '}';
}

}  // namespace

std::string feature_file_json(std::span<const FeatureRef> features) {
  Gathered g = gather(features);
  // The primitives are few next to the features: written first, their text has a known size.
  std::string primitives;
  append_list(primitives, g.primitives, ",",
              [](std::string& out, const Primitive* p) { append_primitive_json(out, *p); });
  std::string out;
  out.reserve(kFileFrameSize + g.features_text_size + primitives.size());
  // A file's text can run to gigabytes: faulting its buffer in huge pages saves most of the time
  // spent filling it.
  advise_huge_pages(out.data(), out.capacity());
  out += "{\"features\":[";
  for (std::size_t i = 0; i < g.features.size(); ++i) {
    if (i) out += ',';
    append_feature_json(out, *g.features[i], g.name(i));
  }
  out += "],\"primitives\":";
  out += primitives;
  out += '}';
  return out;
}

void save_features(std::span<const FeatureRef> features, const std::string& filename,
                   const StopProbe& stop) {
  std::string text = feature_file_json(features);
  if (auto failure = write_whole_file(filename, text, stop)) {
    panic(std::string(failure->opening ? kUnwrapFailure : "Error writing to file: ") +
          failure->description);
  }
}

}  // namespace tolvane
