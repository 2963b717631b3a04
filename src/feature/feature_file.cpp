#include "feature/feature_file.hpp"

#include <new>
#include <unordered_map>
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
// What gathering takes per feature of the walk: its slot in the id set (at most 4 slots of 8
// bytes) and on the walk's stack.
constexpr std::uint64_t kGatherBytesPerFeature = 32 + sizeof(void*);
// Walk steps and text between two answers to the writer, which asks `stop` in between.
constexpr std::size_t kPieceSteps = 4096;
constexpr std::size_t kPieceSize = std::size_t{64} << 10;
// A piece ends when less room than this is left: most features fit in what remains.
constexpr std::size_t kPieceSlack = std::size_t{1} << 10;
constexpr std::size_t kPrefetchAhead = 8;

// The JSON form of a feature, given its name, the JSON form of its schema and the JSON string of
// its generating primitive's id (or null). Ids need no escaping, nor does the punctuation.
constexpr std::string_view kNameOpen = "{\"name\":";
constexpr std::string_view kIdOpen = ",\"id\":\"";
constexpr std::string_view kSchemaOpen = "\",\"schema\":";
constexpr std::string_view kBasesOpen = ",\"base_features\":[";
constexpr std::string_view kPrimitiveOpen = "],\"generating_primitive\":";
constexpr std::size_t kBaseIdSize = kIdSize + 3;  // quoted, and a comma before all but the first

// The room the JSON form of `f` needs, after a comma.
std::size_t feature_json_bound(const Feature& f, std::string_view name, std::string_view schema,
                               std::string_view primitive) {
  return 1 + kNameOpen.size() + json_string_bound(name.size()) + kIdOpen.size() + kIdSize +
         kSchemaOpen.size() + schema.size() + kBasesOpen.size() +
         f.base_features().size() * kBaseIdSize + kPrimitiveOpen.size() + primitive.size() + 1;
}

char* write_id(char* to, const Feature& f) {
  hex_digest(f.id(), to);
  return to + kIdSize;
}

char* write_feature_json(char* to, const Feature& f, std::string_view name, std::string_view schema,
                         std::string_view primitive) {
  to = write_raw(to, kNameOpen);
  to = write_json_string(to, name);
  to = write_raw(to, kIdOpen);
  to = write_id(to, f);
  to = write_raw(to, kSchemaOpen);
  to = write_raw(to, schema);
  to = write_raw(to, kBasesOpen);
  bool first = true;
  for (const Feature* base : f.base_features()) {
    if (!first) *to++ = ',';
    first = false;
    *to++ = '"';
    to = write_id(to, *base);
    *to++ = '"';
  }
  to = write_raw(to, kPrimitiveOpen);
  to = write_raw(to, primitive);
  *to++ = '}';
  return to;
}

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
    Room room(out);
    for (std::size_t steps = 0; steps < kPieceSteps && room.left() >= kPieceSlack; ++steps) {
      if (stack_.empty()) {
        if (roots_left_ == 0) break;
        const std::size_t root = roots_.size() - roots_left_--;
        // Roots and the id set's slots for them come from memory: they are asked for ahead, the
        // root first, then its slot, which its id decides.
        if (root + 2 * kPrefetchAhead < roots_.size()) {
          __builtin_prefetch(roots_[root + 2 * kPrefetchAhead].get());
        }
        if (root + kPrefetchAhead < roots_.size()) ids_.prefetch(*roots_[root + kPrefetchAhead]);
        stack_.push_back(roots_[root].get());
      }
      step(room);
    }
    room.release();
    if (!stack_.empty() || roots_left_ > 0) return true;
    finish(out);
    return false;
  }

 private:
  // Room at the end of the text that features are written into from a cursor. A string grows
  // zero-filled: the text is grown once a piece, by the piece's size, rather than a feature at a
  // time, and the room left unwritten at the end of a piece is small.
  class Room {
   public:
    explicit Room(std::string& out) : out_(out), size_(out.size()) {
      out_.resize(size_ + kPieceSize);
    }
    // Where to write at most `bound` bytes: a feature larger than the room left gets its own.
    char* take(std::size_t bound) {
      if (left() < bound) out_.resize(size_ + bound);
      return out_.data() + size_;
    }
    // The text now ends at `end`, within what was taken.
    void commit(const char* end) { size_ = static_cast<std::size_t>(end - out_.data()); }
    std::size_t left() const { return out_.size() - size_; }
    void release() { out_.resize(size_); }

   private:
    std::string& out_;
    std::size_t size_;
  };

  // Visits the feature on top of the stack.
  void step(Room& room) {
    const Feature* f = stack_.back();
    stack_.pop_back();
    std::string_view primitive = meet_primitive(f->generating_primitive());
    if (!ids_.insert(f)) {
      // Records walked that did not become the member for their id (another record with that id
      // came first). A record's walk depends on the record alone, and everything it meets was kept
      // or dropped the first time, so a record is walked once: linear in the records reachable,
      // however many paths lead to them. A different record with a known id may have other
      // ancestors: walked once as well.
      if (ids_.find(*f) == f || !walked_non_members_.insert(f).second) return;
    } else {
      name_.clear();
      f->append_name(name_);
      std::string_view schema = schema_json(f->schema());
      char* to = room.take(feature_json_bound(*f, name_, schema, primitive));
      if (written_++) *to++ = ',';
      room.commit(write_feature_json(to, *f, name_, schema, primitive));
    }
    // A base that is the member for its id has been visited: its own bases are walked or wait on
    // the stack.
    auto bases = f->base_features();
    for (auto it = bases.rbegin(); it != bases.rend(); ++it) {
      if (ids_.find(**it) != *it) stack_.push_back(*it);
    }
  }

  // The JSON string of the id of `p`, or null for none. The first time a primitive record is met,
  // it is gathered, unless an equal one was.
  std::string_view meet_primitive(const Primitive* p) {
    if (!p) return "null";
    // Features made by one primitive mostly come one after another.
    if (p == last_primitive_) return *last_id_;
    auto [it, fresh] = primitive_ids_.try_emplace(p);
    if (fresh) {
      append_json_string(it->second, p->id);
      if (primitive_set_.insert(p).second) primitives_.push_back(p);
    }
    last_primitive_ = p;
    last_id_ = &it->second;
    return it->second;
  }

  // The JSON form of `s`: features mostly share their schema with the one before.
  std::string_view schema_json(ColumnSchema s) {
    if (schema_json_.empty() || s != schema_) {
      schema_ = s;
      schema_json_.clear();
      append_schema_json(schema_json_, s);
    }
    return schema_json_;
  }

  void finish(std::string& out) {
    out += "],\"primitives\":";
    append_list(out, primitives_, ",",
                [](std::string& out, const Primitive* p) { append_primitive_json(out, *p); });
    out += '}';
  }

  std::span<const FeatureRef> roots_;
  std::size_t roots_left_ = roots_.size() + 1;  // one more before the text has begun
  std::vector<const Feature*> stack_;
  FeatureIdSet ids_;
  std::unordered_set<const Feature*> walked_non_members_;
  // Every primitive record met, with the JSON string of its id.
  std::unordered_map<const Primitive*, std::string> primitive_ids_;
  const Primitive* last_primitive_ = nullptr;
  const std::string* last_id_ = nullptr;
  std::unordered_set<const Primitive*, PrimitiveContentHash, PrimitiveContentEqual> primitive_set_;
  std::vector<const Primitive*> primitives_;
  ColumnSchema schema_;
  std::string schema_json_;
  std::size_t written_ = 0;
  std::string name_;
};

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
  MemoryReservation memory;
  if (!memory.reserve(features.size() * kGatherBytesPerFeature)) throw std::bad_alloc();
  FeatureFileText text(features);
  if (auto failure = write_file(filename, [&](std::string& out) { return text.next(out); }, stop)) {
    panic(std::string(failure->opening ? kUnwrapFailure : kWriteFailure) + failure->description);
  }
}

}  // namespace tolvane
