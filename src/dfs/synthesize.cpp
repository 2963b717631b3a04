#include "dfs/synthesize.hpp"

#include <algorithm>
#include <array>
#include <cstddef>
#include <memory>
#include <optional>

#include "dfs/demand.hpp"
#include "dfs/enumerate.hpp"
#include "feature/feature_id.hpp"

// How a call runs. Its inputs come as a table (dfs/inputs.hpp); what it needs in memory is held
// before anything is built for it (dfs/demand.hpp). The Engine then plans: per transform primitive
// and signature, the matches of each distinct schema (MatchCache, dfs/arrange_featureset.hpp), the
// space of candidates (dfs/enumerate.hpp) and how their ids are hashed (HashShape, chosen once);
// then cuts the candidates into chunks, whose order is the result's order. The pool's threads work
// chunks out into batches of ids and base positions (SynthesizedBatch); the calling thread takes
// part, and hands each finished batch, in order, to the sink, which builds the records.

namespace tolvane {
namespace {

// A chunk is this many slot fillings (candidates times slots): small enough to balance the
// threads and to keep the calling thread's stop checks and hand-overs frequent, large enough that
// scheduling costs nothing.
constexpr std::uint64_t kChunkFillings = 16384;
// Candidates hashed together: enough for the interleaved kernels, few enough to stay in cache.
constexpr std::size_t kBatch = 64;
// How often (in candidates) a chunk asks whether to stop.
constexpr std::uint64_t kStopCheckInterval = 1024;

// Matches computed once per distinct schema and shared by every signature that needs them. When
// no two inputs share an id (almost always), a schema's matches are one pass over the inputs' type
// values; only otherwise is the type index, with its sets of ids, built.
class MatchCache {
 public:
  explicit MatchCache(Inputs& inputs) : inputs_(inputs) {}

  std::span<const std::uint32_t> operator()(ColumnSchema s) {
    for (const auto& [schema, matches] : cache_) {
      if (schema == s) return matches;
    }
    return cache_
        .emplace_back(s, inputs_.distinct()
                             ? matching_distinct(inputs_.table().schemas, s, inputs_.table().counts)
                             : matching_features(index(), s))
        .second;
  }

 private:
  const FeatureTypeIndex& index() {
    if (!index_) index_.emplace(inputs_.records());
    return *index_;
  }

  Inputs& inputs_;
  std::optional<FeatureTypeIndex> index_;  // when ids are shared
  // A few schemas per call: a list. Its entries' vectors keep their storage when it grows.
  std::vector<std::pair<ColumnSchema, std::vector<std::uint32_t>>> cache_;
};

// How the ids of a signature's candidates are hashed, chosen when the call is planned.
enum class HashShape {
  // The bases' ids as text after the state of the primitive id's whole blocks: any signature.
  kFromText,
  // From prepared blocks, where the primitive id is whole blocks and there are two or more slots
  // (and enough candidates to pay for the blocks): each candidate from the state after the
  // primitive id and its first base's block, then its other bases' blocks.
  kFromBlocks,
  // The same for two slots, in one pass: most signatures.
  kPairFromBlocks,
};

// One signature's candidates and how their ids are hashed.
struct SignatureWork {
  SignatureWork(const InputSet& signature, bool commutative, MatchCache& matches)
      : space(signature.schemas, commutative, matches) {}

  CandidateSpace space;
  HashShape shape = HashShape::kFromText;
  // Hashed from blocks, per member: the state after the primitive id and that member's block (for
  // the members that can be hashed first), and its block.
  std::vector<Sha256State> first_states;
  std::vector<const Sha256Block*> member_blocks;
  std::uint64_t chunk_size = 1;
};

// One primitive's share of the work: its signatures, back to back.
struct PrimitiveWork {
  const Primitive* primitive;
  MessagePrefix prefix;
  std::vector<SignatureWork> signatures;
  std::uint64_t count = 0;
};

struct Chunk {
  const PrimitiveWork* work;
  const SignatureWork* signature;
  std::uint64_t begin, end;  // candidate ranks within the signature
  std::uint64_t first;       // position of its first feature among the call's new features
};

// Per thread of the loop: its scratch space.
struct ThreadContext {
  explicit ThreadContext(std::size_t inputs) : tally(inputs, 0) {}

  // Per input: references taken by the current chunk. A candidate names an input once per schema
  // at most (a schema's choices are distinct), so a chunk names it at most kChunkFillings times,
  // or, for a chunk of one candidate with more slots than that, once per schema.
  std::vector<std::uint16_t> tally;
  static_assert(kChunkFillings <= UINT16_MAX &&
                kLogicalTypeCount * kLogicalTypeCount <= UINT16_MAX);
  std::vector<std::uint32_t> touched;
  std::vector<std::uint32_t> tuples, order;
  std::vector<const Sha256State*> starts;
  std::vector<const Sha256Block*> blocks;
  std::vector<std::string_view> tails;
  std::vector<char> tail_bytes;

  void count_ref(std::uint32_t input) {
    if (tally[input]++ == 0) touched.push_back(input);
  }
  std::vector<std::pair<const Feature*, std::uint32_t>> take_tally(const Inputs& inputs) {
    std::vector<std::pair<const Feature*, std::uint32_t>> out;
    out.reserve(touched.size());
    for (std::uint32_t i : touched)
      out.emplace_back(inputs.records()[i], std::exchange(tally[i], 0));
    touched.clear();
    return out;
  }
  void clear_tally() noexcept {
    for (std::uint32_t i : touched) tally[i] = 0;
    touched.clear();
  }
};

// Lives on the heap: its match cache is large, and calls nest (signal handlers calling in).
class Engine {
 public:
  // `counted`: reserve_by_count() found that the call fits; else it is checked on its matches,
  // and its demand held in `memory`.
  Engine(Inputs& inputs, std::span<const PrimitiveRef> primitives, bool counted,
         MemoryReservation& memory)
      : inputs_(inputs), matches_(inputs) {
    if (!counted) {
      reserve_by_matches(
          inputs_.size(), primitives, [&](ColumnSchema s) { return matches_(s).size(); }, memory);
    }
    for (const PrimitiveRef& p : primitives) {
      if (p->function_type != "transform") continue;
      auto work = std::make_unique<PrimitiveWork>();
      plan(*work, *p);
      if (work->count) works_.push_back(std::move(work));
    }
    for (const auto& work : works_) {
      for (SignatureWork& s : work->signatures) {
        if (s.shape != HashShape::kFromText) prepare_states(*work, s);
      }
    }
    cut_into_chunks();
    outputs_.resize(chunks_.size());
    contexts_.resize(pool_size());
  }

  ~Engine() {
    for (SynthesizedBatch* out : outputs_) delete out;
    // Forked while the loop ran: the workers' contexts were theirs, in whatever state they were
    // left; nothing in them may be touched, so they are leaked.
    if (forks_seen() != forks_at_start_) {
      for (std::size_t t = 1; t < contexts_.size(); ++t) (void)contexts_[t].release();
    }
  }

  std::uint64_t total() const { return total_; }

  void run(FeatureSink& sink, const StopProbe& stop) {
    sink.reserve(total_);
    // Work of less than a chunk's size costs less than waking a worker.
    run_chunks(
        chunks_.size(), [&](std::size_t i, ChunkRun& run) { make_chunk(i, run); }, stop,
        [&](std::size_t i) { hand_over(i, sink); }, fillings_ <= kChunkFillings);
  }

 private:
  void plan(PrimitiveWork& work, const Primitive& p) {
    work.primitive = &p;
    work.prefix = message_prefix(p.id);
    for (const InputSet& signature : p.column_schemas) {
      SignatureWork& s = work.signatures.emplace_back(signature, p.commutative, matches_);
      std::uint32_t slots = s.space.slots();
      s.chunk_size = std::max<std::uint64_t>(1, kChunkFillings / std::max<std::uint32_t>(slots, 1));
      // A member's prepared block and first state cost it about two compressions, and save each
      // candidate one: worth it once there are twice as many candidates as members.
      if (slots >= 2 && work.prefix.rest.empty() &&
          s.space.size() / 2 >= s.space.matches().size() && s.space.size()) {
        s.shape = slots == 2 ? HashShape::kPairFromBlocks : HashShape::kFromBlocks;
        for (std::uint32_t input : s.space.matches()) inputs_.prepare_block(input);
      }
      work.count = saturating_add(work.count, s.space.size());
    }
  }

  // Chunks in result order: each signature's candidates, in ranges of chunk_size.
  void cut_into_chunks() {
    for (const auto& work : works_) {
      for (const SignatureWork& s : work->signatures) {
        for (std::uint64_t b = 0; b < s.space.size(); b += s.chunk_size) {
          const std::uint64_t end = std::min(b + s.chunk_size, s.space.size());
          chunks_.push_back({work.get(), &s, b, end, total_});
          total_ += end - b;
          fillings_ += (end - b) * s.space.slots();
        }
      }
    }
  }

  // Once every block is made (so that pointers to them stay valid).
  void prepare_states(const PrimitiveWork& work, SignatureWork& s) {
    auto members = s.space.matches();
    // Without reordering, only the members that can fill slot 0 are hashed first.
    auto [first, count] = s.space.commutative() ? std::pair<std::uint32_t, std::uint32_t>(
                                                      0, static_cast<std::uint32_t>(members.size()))
                                                : s.space.members_of_slot(0);
    s.first_states.resize(members.size());
    s.member_blocks.resize(members.size());
    for (std::size_t m = 0; m < members.size(); ++m) {
      s.member_blocks[m] = &inputs_.block(members[m]);
      if (m >= first && m < first + count) {
        s.first_states[m] = work.prefix.state;
        sha256_absorb(s.first_states[m], *s.member_blocks[m]);
      }
    }
  }

  ThreadContext& context(std::size_t thread) {
    auto& slot = contexts_[thread];
    if (!slot) slot = std::make_unique<ThreadContext>(inputs_.records().size());
    return *slot;
  }

  // The ids and base positions of `n` candidates (members in slot order, in ctx.tuples), into
  // `room`, counting the references on the bases.
  void work_out(const PrimitiveWork& work, const SignatureWork& s, ThreadContext& ctx,
                std::size_t n, SynthesizedBatch::Room room) const {
    switch (s.shape) {
      case HashShape::kPairFromBlocks:
        return hash_pairs_from_blocks(s, ctx, n, room);
      case HashShape::kFromBlocks:
        return hash_from_blocks(s, ctx, n, room);
      case HashShape::kFromText:
        return hash_from_text(work, s, ctx, n, room);
    }
  }

  // Two slots: each candidate hashed from its first member's state and its second member's block,
  // positions and references taken in the same pass.
  void hash_pairs_from_blocks(const SignatureWork& s, ThreadContext& ctx, std::size_t n,
                              SynthesizedBatch::Room room) const {
    const auto members = s.space.matches();
    const std::uint32_t* tuples = ctx.tuples.data();
    auto by_id = [&](std::uint32_t a, std::uint32_t b) {
      return inputs_.less(members[a], members[b]);
    };
    ctx.starts.resize(n);
    ctx.blocks.resize(n);
    for (std::size_t c = 0; c < n; ++c) {
      std::array<std::uint32_t, 2> pair{tuples[2 * c], tuples[2 * c + 1]};
      const std::uint32_t a = members[pair[0]], b = members[pair[1]];
      room.positions[2 * c] = a;
      room.positions[2 * c + 1] = b;
      ctx.count_ref(a);
      ctx.count_ref(b);
      order_for_id(s.space.commutative(), std::span(pair), by_id);
      ctx.starts[c] = &s.first_states[pair[0]];
      ctx.blocks[c] = s.member_blocks[pair[1]];
    }
    sha256_finish_blocks(n, 1, ctx.starts.data(), ctx.blocks.data(), room.ids);
  }

  // Three slots or more: the first member's state, then the others' blocks.
  void hash_from_blocks(const SignatureWork& s, ThreadContext& ctx, std::size_t n,
                        SynthesizedBatch::Room room) const {
    const std::uint32_t slots = s.space.slots();
    const std::uint32_t* order = take_positions(s, ctx, n, room);
    ctx.starts.resize(n);
    ctx.blocks.resize(n * (slots - 1));
    for (std::size_t c = 0; c < n; ++c) {
      const std::uint32_t* t = order + c * slots;
      ctx.starts[c] = &s.first_states[t[0]];
      for (std::uint32_t j = 1; j < slots; ++j)
        ctx.blocks[c * (slots - 1) + j - 1] = s.member_blocks[t[j]];
    }
    sha256_finish_blocks(n, slots - 1, ctx.starts.data(), ctx.blocks.data(), room.ids);
  }

  // Anything else: the rest of the primitive id, then the ids in hexadecimal, from the state
  // after the id's whole blocks.
  void hash_from_text(const PrimitiveWork& work, const SignatureWork& s, ThreadContext& ctx,
                      std::size_t n, SynthesizedBatch::Room room) const {
    const std::uint32_t slots = s.space.slots();
    const auto members = s.space.matches();
    const std::uint32_t* order = take_positions(s, ctx, n, room);
    const std::size_t length = message_tail_size(work.prefix, slots);
    ctx.tail_bytes.resize(n * length);
    ctx.tails.resize(n);
    ctx.starts.assign(n, &work.prefix.state);
    for (std::size_t c = 0; c < n; ++c) {
      char* tail = ctx.tail_bytes.data() + c * length;
      const std::uint32_t* t = order + c * slots;
      write_message_tail(
          work.prefix, slots,
          [&](std::size_t j) -> const Digest& { return inputs_.records()[members[t[j]]]->id(); },
          tail);
      ctx.tails[c] = {tail, length};
    }
    sha256_finish_tails(n, ctx.starts.data(), ctx.tails.data(), room.ids);
  }

  // Writes the candidates' base positions into `room` and counts their references; returns their
  // members in the order their ids are hashed (in ctx, or ctx.tuples itself).
  const std::uint32_t* take_positions(const SignatureWork& s, ThreadContext& ctx, std::size_t n,
                                      SynthesizedBatch::Room room) const {
    const std::uint32_t slots = s.space.slots();
    const auto members = s.space.matches();
    const std::uint32_t* tuples = ctx.tuples.data();
    for (std::size_t m = 0; m < n * slots; ++m) {
      std::uint32_t input = members[tuples[m]];
      room.positions[m] = input;
      ctx.count_ref(input);
    }
    if (!s.space.commutative() || slots < 2) return tuples;
    ctx.order.assign(tuples, tuples + n * slots);
    auto by_id = [&](std::uint32_t a, std::uint32_t b) {
      return inputs_.less(members[a], members[b]);
    };
    for (std::size_t c = 0; c < n; ++c) {
      order_for_id(true, std::span(ctx.order.data() + c * slots, slots), by_id);
    }
    return ctx.order.data();
  }

  void make_chunk(std::size_t index, ChunkRun& run) {
    const Chunk& chunk = chunks_[index];
    const SignatureWork& s = *chunk.signature;
    const std::uint32_t slots = s.space.slots();
    ThreadContext& ctx = context(run.thread());
    struct ClearTally {
      ThreadContext& ctx;
      ~ClearTally() { ctx.clear_tally(); }
    } clear_on_exit{ctx};

    auto out = std::make_unique<SynthesizedBatch>(
        *chunk.work->primitive, slots, inputs_.records().data(), chunk.end - chunk.begin);
    ctx.tuples.resize(kBatch * slots);
    CandidateCursor cursor(s.space, chunk.begin);
    for (std::uint64_t at = chunk.begin; at < chunk.end;) {
      auto n = static_cast<std::size_t>(std::min<std::uint64_t>(kBatch, chunk.end - at));
      cursor.fill(ctx.tuples.data(), n);
      work_out(*chunk.work, s, ctx, n, out->extend(n));
      std::uint64_t before = at - chunk.begin;
      at += n;
      if ((at - chunk.begin) / kStopCheckInterval != before / kStopCheckInterval &&
          run.stopping()) {
        return;
      }
    }
    out->set_base_refs(ctx.take_tally(inputs_));
    // A chunk run again after a fork replaces what a vanished worker may have left: leaked, as
    // nothing about it can be trusted.
    outputs_[index] = out.release();
  }

  void hand_over(std::size_t index, FeatureSink& sink) {
    std::unique_ptr<SynthesizedBatch> out(std::exchange(outputs_[index], nullptr));
    out->add_refs();
    sink.take(chunks_[index].first, *out);
  }

  Inputs& inputs_;
  MatchCache matches_;
  std::vector<std::unique_ptr<PrimitiveWork>> works_;
  std::vector<Chunk> chunks_;
  std::uint64_t total_ = 0;
  std::uint64_t fillings_ = 0;              // candidates times slots, of every chunk
  std::vector<SynthesizedBatch*> outputs_;  // published by the chunk, taken by the hand-over
  std::vector<std::unique_ptr<ThreadContext>> contexts_;
  const std::uint64_t forks_at_start_ = forks_seen();
};

class CollectingSink : public FeatureSink {
 public:
  explicit CollectingSink(std::span<const FeatureRef> features) : features_(features) {}

  void reserve(std::uint64_t count) override {
    out.reserve(features_.size() + count);
    out.assign(features_.begin(), features_.end());
  }
  void take(std::uint64_t, SynthesizedBatch& batch) override {
    for (std::size_t i = 0; i < batch.size(); ++i)
      out.push_back(FeatureRef::adopt(batch.build_next()));
  }

  std::vector<FeatureRef> out;

 private:
  std::span<const FeatureRef> features_;
};

}  // namespace

void generate_features(std::span<const FeatureRef> features,
                       std::span<const PrimitiveRef> primitives, FeatureSink& sink,
                       const StopProbe& stop) {
  generate_features(InputTable(features), primitives, sink, stop);
}

void generate_features(InputTable features, std::span<const PrimitiveRef> primitives,
                       FeatureSink& sink, const StopProbe& stop) {
  // Held until everything the call made for itself is freed, and the sink has what it made.
  MemoryReservation memory;
  // On the heap, as the engine is: calls nest (signal handlers calling in).
  auto inputs = std::make_unique<Inputs>(std::move(features));
  bool counted = reserve_by_count(*inputs, primitives, memory);
  std::make_unique<Engine>(*inputs, primitives, counted, memory)->run(sink, stop);
}

std::vector<FeatureRef> generate_features(std::span<const FeatureRef> features,
                                          std::span<const PrimitiveRef> primitives,
                                          const StopProbe& stop) {
  CollectingSink sink(features);
  generate_features(features, primitives, sink, stop);
  return std::move(sink.out);
}

}  // namespace tolvane
