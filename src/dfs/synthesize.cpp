#include "dfs/synthesize.hpp"

#include <sys/resource.h>
#include <sys/sysinfo.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <fstream>
#include <cstddef>
#include <limits>
#include <memory>
#include <optional>

#include "dfs/enumerate.hpp"

namespace tolvane {
namespace {

// Candidates per chunk: small enough to balance the threads and to keep the calling thread's
// stop checks frequent, large enough that scheduling costs nothing.
constexpr std::uint64_t kChunkSize = 8192;
// How often a chunk asks whether to stop.
constexpr std::uint64_t kStopCheckInterval = 1024;

// One primitive's share of the work: its candidate spaces, one per signature, back to back.
struct PrimitivePlan {
  const Primitive* primitive;
  Sha256 id_prefix;  // the primitive's id absorbed once
  std::vector<CandidateSpace> spaces;
  std::uint64_t count = 0;
  std::size_t offset = 0;  // where its features go in the result
};

struct Chunk {
  const PrimitivePlan* plan;
  std::uint64_t begin, end;  // candidate ranks within the primitive
};

// Matches computed once per distinct schema and shared by every signature that needs them.
class MatchCache {
 public:
  explicit MatchCache(std::span<const FeatureRef> features) : index_(pointers(features)) {}

  std::span<const Feature* const> operator()(ColumnSchema s) {
    auto& slot = cache_[static_cast<std::size_t>(s.logical_type) * kLogicalTypeCount +
                        static_cast<std::size_t>(s.semantic_tag)];
    if (!slot) slot = matching_features(index_, s);
    return *slot;
  }

 private:
  FeatureTypeIndex index_;
  std::array<std::optional<std::vector<const Feature*>>, kLogicalTypeCount * kLogicalTypeCount>
      cache_;
};

// Memory the process can still get: what the kernel reports as available (free memory plus what
// it can reclaim) plus free swap, the totals when /proc is not there; and no more than the
// address-space limit leaves.
std::uint64_t available_memory() {
  std::uint64_t memory = std::numeric_limits<std::uint64_t>::max();
  std::ifstream meminfo("/proc/meminfo");
  std::uint64_t available = 0, swap_free = 0;
  bool found = false;
  for (std::string key; meminfo >> key;) {
    std::uint64_t kib = 0;
    meminfo >> kib;
    if (key == "MemAvailable:") available = kib * 1024, found = true;
    if (key == "SwapFree:") swap_free = kib * 1024;
    meminfo.ignore(std::numeric_limits<std::streamsize>::max(), '\n');
  }
  struct sysinfo info {};
  if (found) {
    memory = available + swap_free;
  } else if (sysinfo(&info) == 0) {
    memory = (static_cast<std::uint64_t>(info.totalram) + info.totalswap) * info.mem_unit;
  }
  struct rlimit limit {};
  std::uint64_t mapped_pages = 0;
  if (getrlimit(RLIMIT_AS, &limit) == 0 && limit.rlim_cur != RLIM_INFINITY &&
      std::ifstream("/proc/self/statm") >> mapped_pages) {
    std::uint64_t mapped = mapped_pages * static_cast<std::uint64_t>(sysconf(_SC_PAGESIZE));
    memory = std::min<std::uint64_t>(memory, limit.rlim_cur > mapped ? limit.rlim_cur - mapped : 0);
  }
  return memory;
}

// Refuses counts that cannot possibly be held, before anything is built, rather than letting the
// system kill the process: each new feature takes at least its record, a slot in the result
// vector, a Python object (header, borrow flag, pointer) and a slot in the result list, and no
// list can exceed the address space.
void check_fits(std::uint64_t existing, std::uint64_t count) {
  constexpr std::uint64_t kMinBytes = sizeof(Feature) + 6 * sizeof(void*);
  constexpr std::uint64_t kMaxItems = std::numeric_limits<std::ptrdiff_t>::max() / sizeof(void*);
  if (count > kMaxItems - existing || saturating_mul(count, kMinBytes) > available_memory()) {
    throw TooManyFeatures(count);
  }
}

// The references that one chunk's new features hold on their primitive and bases, counted
// locally and added in bulk when the chunk ends, failed or not (its features are already in the
// result, which will drop them). Adding late is safe: the call owns the inputs and primitives
// until the chunks are done.
class PendingRefs {
 public:
  explicit PendingRefs(const Primitive& primitive) : primitive_(primitive), slots_(64) {}
  PendingRefs(const PendingRefs&) = delete;
  PendingRefs& operator=(const PendingRefs&) = delete;
  ~PendingRefs() {
    if (primitive_refs_) primitive_.add_refs(primitive_refs_);
    for (const auto& [f, n] : slots_) {
      if (f && n) f->add_refs(n);
    }
  }

  // Counts the references of a feature about to be built from `bases`. Room for the counts is
  // made here, so that cancel() (when building fails) and the final adding cannot fail.
  void add(std::span<const Feature* const> bases) {
    for (const Feature* f : bases) ++slot(f).second;
    ++primitive_refs_;
  }
  void cancel(std::span<const Feature* const> bases) noexcept {
    for (const Feature* f : bases) --find(f).second;
    --primitive_refs_;
  }

 private:
  using Slot = std::pair<const Feature*, std::uint64_t>;

  std::size_t home(const Feature* f) const {
    return (reinterpret_cast<std::uintptr_t>(f) >> 4) * 0x9e3779b97f4a7c15ULL >> 20;
  }

  Slot& find(const Feature* f) noexcept {
    std::size_t mask = slots_.size() - 1;
    for (std::size_t i = home(f) & mask;; i = (i + 1) & mask) {
      if (slots_[i].first == f || !slots_[i].first) return slots_[i];
    }
  }

  Slot& slot(const Feature* f) {
    Slot& s = find(f);
    if (s.first) return s;
    if ((used_ + 1) * 2 > slots_.size()) {
      grow();
      return slot(f);
    }
    ++used_;
    s.first = f;
    return s;
  }

  void grow() {
    std::vector<Slot> old(slots_.size() * 2);
    old.swap(slots_);
    used_ = 0;
    for (const auto& [f, n] : old) {
      if (f) slot(f).second = n;
    }
  }

  const Primitive& primitive_;
  std::uint64_t primitive_refs_ = 0;
  std::vector<Slot> slots_;
  std::size_t used_ = 0;
};

void build_chunk(const Chunk& chunk, std::vector<FeatureRef>& out, ChunkRun& run) {
  const PrimitivePlan& plan = *chunk.plan;
  const Primitive& p = *plan.primitive;
  PendingRefs refs(p);
  std::string name = p.name + "_";
  const std::size_t prefix_length = name.size();
  std::size_t slot = plan.offset + chunk.begin;

  // Find the signature holding the first rank, then walk on across signatures.
  std::size_t s = 0;
  std::uint64_t rank = chunk.begin;
  while (rank >= plan.spaces[s].size()) rank -= plan.spaces[s++].size();
  std::optional<CandidateCursor> cursor(std::in_place, plan.spaces[s], rank);
  for (std::uint64_t left = chunk.end - chunk.begin; left > 0; --left) {
    auto tuple = cursor->tuple();
    name.resize(prefix_length);
    for (std::size_t i = 0; i < tuple.size(); ++i) {
      if (i) name += '_';
      name += tuple[i]->name();
    }
    refs.add(tuple);
    try {
      // Into the slot as it is: after a fork, a chunk that a vanished worker had begun runs
      // again, and what that worker left in its slots has no references counted to drop.
      new (&out[slot++]) FeatureRef(
          build_derived_feature(name, p, plan.id_prefix, tuple, RefsTaken::by_caller));
    } catch (...) {
      refs.cancel(tuple);
      throw;
    }
    if (left % kStopCheckInterval == 0 && run.stopping()) return;
    if (left > 1 && !cursor->advance()) {
      do ++s; while (plan.spaces[s].size() == 0);
      cursor.emplace(plan.spaces[s], 0);
    }
  }
}

}  // namespace

TooManyFeatures::TooManyFeatures(std::uint64_t count)
    : message_("generate_features would create " +
               (count == std::numeric_limits<std::uint64_t>::max() ? "more than " : std::string()) +
               std::to_string(count) + " new features, more than fit in memory") {}

std::vector<FeatureRef> generate_features(std::vector<FeatureRef> features,
                                          std::span<const PrimitiveRef> primitives,
                                          const StopProbe& stop) {
  MatchCache matches(features);
  std::vector<std::unique_ptr<PrimitivePlan>> plans;
  std::uint64_t total = 0;
  for (const PrimitiveRef& p : primitives) {
    if (p->function_type != "transform") continue;
    auto plan = std::make_unique<PrimitivePlan>();
    plan->primitive = p.get();
    plan->id_prefix.update(p->id);
    plan->offset = features.size() + total;
    for (const InputSet& signature : p->column_schemas) {
      const CandidateSpace& space =
          plan->spaces.emplace_back(signature.schemas, p->commutative, matches);
      plan->count += space.size();
      if (plan->count < space.size()) plan->count = std::numeric_limits<std::uint64_t>::max();
    }
    total += plan->count;
    if (total < plan->count) total = std::numeric_limits<std::uint64_t>::max();
    if (plan->count) plans.push_back(std::move(plan));
  }
  check_fits(features.size(), total);

  std::vector<Chunk> chunks;
  for (const auto& plan : plans) {
    for (std::uint64_t b = 0; b < plan->count; b += kChunkSize) {
      chunks.push_back({plan.get(), b, std::min(b + kChunkSize, plan->count)});
    }
  }
  std::vector<FeatureRef> result = std::move(features);
  result.resize(result.size() + total);
  run_chunks(
      chunks.size(),
      [&](std::size_t i, ChunkRun& run) { build_chunk(chunks[i], result, run); }, stop);
  return result;
}

}  // namespace tolvane
