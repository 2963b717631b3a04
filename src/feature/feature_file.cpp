#include "feature/feature_file.hpp"

#include <new>
#include <unordered_set>
#include <vector>

#include "catalogue.hpp"
#include "feature/feature_set.hpp"
#include "support/file_io.hpp"
#include "support/json_writer.hpp"
#include "support/panic.hpp"
#include "support/system_limits.hpp"
#include "support/text_forms.hpp"

namespace tolvane {
namespace {

struct PrimitiveContentHash {
  std::size_t operator()(const Primitive* p) const noexcept { return PrimitiveHash{}(*p); }
};
struct PrimitiveContentEqual {
  bool operator()(const Primitive* a, const Primitive* b) const noexcept { return *a == *b; }
};

constexpr std::size_t kIdSize = 64;  // hex digits
// What gathering takes per feature of the walk: its slot in the id set (at most 8/3 slots of 8
// bytes) and on the walk's stack.
constexpr std::uint64_t kGatherBytesPerFeature = 22 + sizeof(void*);
// Walk steps and text between two answers to the writer, which asks `stop` in between.
constexpr std::size_t kPieceSteps = 4096;
constexpr std::size_t kPieceSize = std::size_t{64} << 10;

void append_feature_json(std::string& out, const Feature& f, std::string_view name);

// The text of a feature file, produced as the feature graph is walked: the given features and all
// their ancestors, one object per id, in the order a depth-first, pre-order walk of the input first
// meets them, then every distinct generating primitive in the order first met.
class FeatureFileText {
 public:
  explicit FeatureFileText(std::span<const FeatureRef> roots) : roots_(roots), ids_(roots.size()) {}

  // Appends the next piece of the text; false once the whole text is appended.
  bool next(std::string& out) {
    if (roots_left_ == roots_.size() + 1) {
      out += "{\"features\":[";
      --roots_left_;
    }
    const std::size_t until = out.size() + kPieceSize;
    for (std::size_t steps = 0; steps < kPieceSteps && out.size() < until; ++steps) {
      if (stack_.empty()) {
        if (roots_left_ == 0) return finish(out);
        stack_.push_back(roots_[roots_.size() - roots_left_--].get());
      }
      step(out);
    }
    return true;
  }

 private:
  // Visits the feature on top of the stack.
  void step(std::string& out) {
    const Feature* f = stack_.back();
    stack_.pop_back();
    if (!ids_.insert(f)) {
      // Records walked that did not become the member for their id (another record with that id
      // came first). A record's walk depends on the record alone, and everything it meets was kept
      // or dropped the first time, so a record is walked once: linear in the records reachable,
      // however many paths lead to them. A different record with a known id may have other
      // ancestors: walked once as well.
      if (ids_.find(*f) == f || !walked_non_members_.insert(f).second) return;
    } else {
      if (written_++) out += ',';
      name_.clear();
      f->append_name(name_);
      append_feature_json(out, *f, name_);
    }
    if (const Primitive* p = f->generating_primitive();
        p && primitive_records_.insert(p).second && primitive_set_.insert(p).second) {
      primitives_.push_back(p);
    }
    auto bases = f->base_features();
    for (auto it = bases.rbegin(); it != bases.rend(); ++it) stack_.push_back(*it);
  }

  bool finish(std::string& out) {
    out += "],\"primitives\":";
    append_list(out, primitives_, ",",
                [](std::string& out, const Primitive* p) { append_primitive_json(out, *p); });
    out += '}';
    return false;
  }

  std::span<const FeatureRef> roots_;
  std::size_t roots_left_ = roots_.size() + 1;  // one more before the text has begun
  std::vector<const Feature*> stack_;
  FeatureIdSet ids_;
  std::unordered_set<const Feature*> walked_non_members_;
  std::unordered_set<const Primitive*> primitive_records_;
  std::unordered_set<const Primitive*, PrimitiveContentHash, PrimitiveContentEqual> primitive_set_;
  std::vector<const Primitive*> primitives_;
  std::size_t written_ = 0;
  std::string name_;
};

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
    out += "null";
  }
  out += '}';
}

}  // namespace

std::string feature_file_json(std::span<const FeatureRef> features) {
  FeatureFileText text(features);
  std::string out;
  while (text.next(out)) {
  }
  return out;
}

void save_features(std::span<const FeatureRef> features, const std::string& filename,
                   const StopProbe& stop) {
  if (!memory_fits(features.size() * kGatherBytesPerFeature)) throw std::bad_alloc();
  FeatureFileText text(features);
  if (auto failure = write_file(filename, [&](std::string& out) { return text.next(out); }, stop)) {
    panic(std::string(failure->opening ? kUnwrapFailure : "Error writing to file: ") +
          failure->description);
  }
}

}  // namespace tolvane
