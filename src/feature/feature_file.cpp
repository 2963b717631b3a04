#include "feature/feature_file.hpp"

#include <cstdint>

#include <unordered_set>
#include <vector>

#include "catalogue.hpp"
#include "feature/feature_set.hpp"
#include "support/file_io.hpp"
#include "support/huge_pages.hpp"
#include "support/json_writer.hpp"
#include "support/panic.hpp"

namespace tolvane {
namespace {

struct PrimitiveContentHash {
  std::size_t operator()(const Primitive* p) const noexcept { return PrimitiveHash{}(*p); }
};
struct PrimitiveContentEqual {
  bool operator()(const Primitive* a, const Primitive* b) const noexcept { return *a == *b; }
};

// The distinct features and primitives of a feature graph, in the order first met, with the
// features' names (built once, each ending where the next begins).
struct Gathered {
  std::vector<const Feature*> features;
  std::string names;
  std::vector<std::size_t> name_ends;
  std::vector<const Primitive*> primitives;
  std::size_t text_size_estimate = 128;  // exact unless names need escaping

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
        // {"name":"","id":"<64>","schema":{..},"base_features":[],"generating_primitive":null},
        out.text_size_estimate += 185 + (out.names.size() - before) + 67 * f->base_features().size();
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
  out.resize(at + 64);
  hex_digest(f.id(), out.data() + at);
}

void append_feature_json(std::string& out, const Feature& f, std::string_view name) {
  out += "{\"name\":";
  append_json_string(out, name);
  out += ",\"id\":\"";
  append_id(out, f);
  out += "\",\"schema\":";
  append_schema_json(out, f.schema());
  out += ",\"base_features\":[";
  auto bases = f.base_features();
  for (std::size_t i = 0; i < bases.size(); ++i) {
    if (i) out += ',';
    out += '"';
    append_id(out, *bases[i]);
    out += '"';
  }
  out += "],\"generating_primitive\":";
  if (const Primitive* p = f.generating_primitive()) {
    append_json_string(out, p->id);
  } else {
    out += "null";
  }
  out += '}';
}

}  // namespace

std::string feature_file_json(std::span<const FeatureRef> features) {
  Gathered g = gather(features);
  std::string out;
  out.reserve(g.text_size_estimate + 512 * g.primitives.size());
  // A file's text can run to gigabytes: faulting its buffer in huge pages saves most of the time
  // spent filling it.
  advise_huge_pages(out.data(), out.capacity());
  out += "{\"features\":[";
  for (std::size_t i = 0; i < g.features.size(); ++i) {
    if (i) out += ',';
    append_feature_json(out, *g.features[i], g.name(i));
  }
  out += "],\"primitives\":[";
  for (std::size_t i = 0; i < g.primitives.size(); ++i) {
    if (i) out += ',';
    append_primitive_json(out, *g.primitives[i]);
  }
  out += "]}";
  return out;
}

void save_features(std::span<const FeatureRef> features, const std::string& filename,
                   const StopProbe& stop) {
  std::string text = feature_file_json(features);
  if (auto failure = write_whole_file(filename, text, stop)) {
    panic((failure->opening ? "called `Result::unwrap()` on an `Err` value: "
                            : "Error writing to file: ") +
          failure->description);
  }
}

}  // namespace tolvane
