#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <filesystem>
#include <set>
#include <thread>

#include "captured_stderr.hpp"
#include "dfs/arrange_featureset.hpp"
#include "dfs/enumerate.hpp"
#include "dfs/synthesize.hpp"
#include "dfs/worker_pool.hpp"
#include "hash/kernels.hpp"
#include "support/panic.hpp"

namespace tolvane {
namespace {

using L = LogicalType;
using Names = std::vector<std::string>;

FeatureRef root(const std::string& name, L lt, L st) {
  return build_feature(name, ColumnSchema{lt, st}, nullptr, {});
}

std::vector<const Feature*> ptrs(const std::vector<FeatureRef>& fs) {
  std::vector<const Feature*> out;
  for (const auto& f : fs) out.push_back(f.get());
  return out;
}

Names names_at(const std::vector<FeatureRef>& fs, std::span<const std::uint32_t> positions) {
  Names out;
  for (std::uint32_t i : positions) out.emplace_back(fs[i]->name());
  return out;
}

Names matches(const std::vector<FeatureRef>& fs, ColumnSchema s) {
  auto records = ptrs(fs);
  return names_at(fs, matching_features(FeatureTypeIndex(records), s));
}

TEST(Matching, FollowsBothComponentsAndListOrder) {
  std::vector<FeatureRef> fs = {
      root("d", L::Double, L::Unknown), root("ni", L::Numeric, L::Integer),
      root("u", L::Unknown, L::Unknown), root("in", L::Integer, L::Numeric)};
  EXPECT_EQ(matches({}, {L::Any, L::Any}), Names{});
  EXPECT_EQ(matches(fs, {L::Any, L::Any}), (Names{"d", "ni", "u", "in"}));
  EXPECT_EQ(matches(fs, {L::Double, L::Any}), Names{"d"});
  EXPECT_EQ(matches(fs, {L::Any, L::Double}), Names{"d"});
  EXPECT_EQ(matches(fs, {L::Double, L::Numeric}), Names{});
  EXPECT_EQ(matches(fs, {L::Double, L::Unknown}), Names{});
  EXPECT_EQ(matches(fs, {L::Unknown, L::Any}), Names{});
  for (ColumnSchema s :
       {ColumnSchema{L::Integer, L::Numeric}, ColumnSchema{L::Numeric, L::Integer},
        ColumnSchema{L::Integer, L::Integer}, ColumnSchema{L::Numeric, L::Numeric}}) {
    EXPECT_EQ(matches(fs, s), (Names{"ni", "in"}));
  }
}

TEST(Matching, KeepsFirstFeatureOfAnId) {
  // Same name, same id; the intersection walks the smaller set and keeps its member.
  std::vector<FeatureRef> fs = {root("x", L::Boolean, L::Unknown), root("x", L::Double, L::Numeric),
                                root("y", L::Double, L::Numeric)};
  EXPECT_EQ(matches(fs, {L::Any, L::Any}), (Names{"x", "y"}));
  auto m = matching_features(FeatureTypeIndex(ptrs(fs)), {L::Any, L::Any});
  EXPECT_EQ(m[0], 0u);
  // Under Double the first "x" is the second record, but Any's member is the first.
  auto d = matching_features(FeatureTypeIndex(ptrs(fs)), {L::Double, L::Any});
  ASSERT_EQ(d.size(), 2u);
  EXPECT_EQ(d[0], 1u);
}

// Counting from schemas alone must agree with the matches themselves: the engine refuses calls on
// these counts before it builds any match.
TEST(Counting, AgreesWithMatchesForEverySchema) {
  std::vector<FeatureRef> fs;
  for (std::size_t i = 0; i < kLogicalTypeCount * kLogicalTypeCount; i += 7) {
    fs.push_back(root("f" + std::to_string(i), static_cast<L>(i / kLogicalTypeCount),
                      static_cast<L>(i % kLogicalTypeCount)));
  }
  auto records = ptrs(fs);
  // The same names again, each under another schema: ids shared across schemas.
  std::vector<FeatureRef> twice = fs;
  for (std::size_t i = 0; i < fs.size(); ++i) {
    twice.push_back(root("f" + std::to_string(i * 7), static_cast<L>(i % kLogicalTypeCount),
                         static_cast<L>((i * 5) % kLogicalTypeCount)));
  }
  auto shared = ptrs(twice);
  InputTable table(fs), shared_table(twice);
  ASSERT_TRUE(ids_distinct(table));
  ASSERT_FALSE(ids_distinct(shared_table));
  const SchemaCounts &counts = table.counts, &shared_counts = shared_table.counts;
  FeatureTypeIndex index(records), shared_index(shared);
  for (std::size_t i = 0; i < kLogicalTypeCount * kLogicalTypeCount; ++i) {
    ColumnSchema s{static_cast<L>(i / kLogicalTypeCount), static_cast<L>(i % kLogicalTypeCount)};
    // Without shared ids the type values alone give the same matches, in the same order.
    EXPECT_EQ(matching_distinct(table.schemas, s, counts), matching_features(index, s))
        << schema_text(s);
    std::size_t exact = matching_features(index, s).size();
    EXPECT_EQ(matching_count(counts, s), exact) << schema_text(s);
    EXPECT_GE(matching_count_at_most(counts, s), exact) << schema_text(s);
    EXPECT_GE(matching_count_at_most(shared_counts, s), matching_features(shared_index, s).size())
        << schema_text(s);
  }
}

TEST(Counting, DistinctIdsAmongManyWithOneRepeat) {
  // Enough features that many share a marked bit and their prefixes are looked at in full.
  std::vector<FeatureRef> fs;
  for (int i = 0; i < 200000; ++i) fs.push_back(root("n" + std::to_string(i), L::Any, L::Any));
  EXPECT_TRUE(ids_distinct(InputTable(fs)));
  fs.push_back(root("n123456", L::Double, L::Numeric));  // another record, the same id
  EXPECT_FALSE(ids_distinct(InputTable(fs)));
  EXPECT_TRUE(ids_distinct(InputTable()));
}

TEST(Counting, IdsSharingTheirFirstBytesAreComparedInFull) {
  // Ids alike in the bytes the quick test reads, unlike further on: distinct until one recurs.
  std::vector<FeatureRef> fs;
  for (int i = 0; i < 5000; ++i) fs.push_back(root("n" + std::to_string(i), L::Any, L::Any));
  Digest id = fs[77]->id();
  for (std::uint8_t last = 1; last <= 40; ++last) {
    id[31] = static_cast<std::uint8_t>(fs[77]->id()[31] ^ last);
    fs.push_back(build_root_feature("alike" + std::to_string(last), {L::Any, L::Any}, id));
  }
  EXPECT_TRUE(ids_distinct(InputTable(fs)));
  id[8] ^= 1;  // the last one again, but for a byte past the first eight: still distinct
  fs.push_back(build_root_feature("unlike", {L::Any, L::Any}, id));
  EXPECT_TRUE(ids_distinct(InputTable(fs)));
  fs.insert(fs.begin(), build_root_feature("again", {L::Boolean, L::Any}, fs[5020]->id()));
  EXPECT_FALSE(ids_distinct(InputTable(fs)));
}

TEST(SlotPositions, GroupsByFirstOccurrence) {
  ColumnSchema dn{L::Double, L::Numeric}, ba{L::Boolean, L::Any};
  std::vector<ColumnSchema> sig = {dn, ba, dn};
  SlotPositions p = slot_positions(sig);
  ASSERT_EQ(p.groups.size(), 2u);
  EXPECT_EQ(p.groups[0].first, dn);
  EXPECT_EQ(p.groups[0].second, (std::vector<std::uint32_t>{0, 2}));
  EXPECT_EQ(p.groups[1].second, (std::vector<std::uint32_t>{1}));
  std::string text;
  append_slot_positions_debug(text, p);
  EXPECT_EQ(text,
            "{ColumnSchema { logical_type: Double, semantic_tag: Numeric }: [0, 2], "
            "ColumnSchema { logical_type: Boolean, semantic_tag: Any }: [1]}");
  std::vector<ColumnSchema> three = {dn, dn, dn};
  EXPECT_EQ(slot_positions(three).groups[0].second, (std::vector<std::uint32_t>{0, 1, 2}));
}

TEST(Arrange, PlacesEachSchemasPairsInItsSlotsAndGuardsContradictions) {
  ColumnSchema s{L::Double, L::Numeric}, t{L::Boolean, L::Any}, u{L::Integer, L::Any};
  std::vector<ColumnSchema> sig = {s, t, s};
  SlotPositions p = slot_positions(sig);
  using Pairs = std::vector<SlotPair<std::string>>;
  auto arranged = [&](const Pairs& pairs) { return arrange_candidate<std::string>(pairs, p); };
  EXPECT_EQ(arranged({{s, "a"}, {s, "b"}, {t, "c"}}), (Names{"a", "c", "b"}));
  EXPECT_EQ(arranged({{t, "c"}, {s, "b"}, {s, "a"}}), (Names{"b", "c", "a"}));
  EXPECT_TRUE(arranged({}).empty());

  CapturedStderr diagnostics;
  auto message_of = [&](const Pairs& bad) {
    try {
      arranged(bad);
    } catch (const Panic& e) {
      return e.message();
    }
    return std::string("no failure");
  };
  EXPECT_EQ(message_of({{s, "a"}, {u, "c"}}),
            "Error unwrapping A ColumnSchema { logical_type: Integer, semantic_tag: Any }");
  EXPECT_EQ(message_of({{t, "a"}, {t, "c"}}),
            "Error unwrapping B ColumnSchema { logical_type: Boolean, semantic_tag: Any } "
            "{ColumnSchema { logical_type: Double, semantic_tag: Numeric }: [0, 2], "
            "ColumnSchema { logical_type: Boolean, semantic_tag: Any }: [1]}");
}

TEST(Enumerate, CountsSaturate) {
  EXPECT_EQ(choice_count(5, 2, true), 10u);
  EXPECT_EQ(choice_count(5, 2, false), 20u);
  EXPECT_EQ(choice_count(3, 4, true), 0u);
  EXPECT_EQ(choice_count(0, 0, false), 1u);
  EXPECT_EQ(choice_count(1000, 500, true), UINT64_MAX);
  EXPECT_EQ(choice_count(100000, 10, false), UINT64_MAX);
  EXPECT_EQ(choice_count(62, 31, true), 465428353255261088u);
  EXPECT_EQ(choice_count(4000000000u, 2, true), 7999999998000000000u);
}

struct SpaceFixture {
  std::vector<FeatureRef> features;
  std::vector<const Feature*> pointers;
  FeatureTypeIndex index;
  std::vector<std::vector<std::uint32_t>> lists;

  explicit SpaceFixture(std::vector<FeatureRef> fs)
      : features(std::move(fs)), pointers(ptrs(features)), index(pointers) {}

  CandidateSpace space(const std::vector<ColumnSchema>& sig, bool commutative) {
    lists.reserve(64);
    return CandidateSpace(sig, commutative, [&](ColumnSchema s) -> std::span<const std::uint32_t> {
      return lists.emplace_back(matching_features(index, s));
    });
  }

  // The tuples from rank `from` on, filled `step` at a time.
  std::vector<Names> all(const CandidateSpace& space, std::uint64_t from = 0,
                         std::size_t step = 1) const {
    std::vector<Names> out;
    if (from >= space.size()) return out;
    CandidateCursor c(space, from);
    std::vector<std::uint32_t> tuples(step * space.slots());
    for (std::uint64_t at = from; at < space.size();) {
      auto n = static_cast<std::size_t>(std::min<std::uint64_t>(step, space.size() - at));
      c.fill(tuples.data(), n);
      for (std::size_t t = 0; t < n; ++t) {
        Names tuple;
        for (std::uint32_t j = 0; j < space.slots(); ++j) {
          tuple.emplace_back(features[space.matches()[tuples[t * space.slots() + j]]]->name());
        }
        out.push_back(tuple);
      }
      at += n;
    }
    return out;
  }
};

TEST(Enumerate, ChoicesInLexicographicOrderAndProductOdometer) {
  ColumnSchema dn{L::Double, L::Numeric}, ba{L::Boolean, L::Any};
  SpaceFixture f({root("p", L::Boolean, L::Unknown), root("q", L::Boolean, L::Unknown),
                  root("a", L::Double, L::Numeric), root("b", L::Double, L::Numeric),
                  root("c", L::Double, L::Numeric)});
  EXPECT_EQ(f.all(f.space({dn, dn}, true)),
            (std::vector<Names>{{"a", "b"}, {"a", "c"}, {"b", "c"}}));
  EXPECT_EQ(
      f.all(f.space({dn, dn}, false)),
      (std::vector<Names>{{"a", "b"}, {"a", "c"}, {"b", "a"}, {"b", "c"}, {"c", "a"}, {"c", "b"}}));
  EXPECT_EQ(
      f.all(f.space({ba, dn}, true)),
      (std::vector<Names>{{"p", "a"}, {"p", "b"}, {"p", "c"}, {"q", "a"}, {"q", "b"}, {"q", "c"}}));
  // Slots of one schema split around another: the j-th choice fills the j-th slot of its schema.
  auto split = f.space({dn, ba, dn}, false);
  EXPECT_EQ(split.size(), 12u);
  EXPECT_EQ(f.all(split), (std::vector<Names>{{"a", "p", "b"},
                                              {"a", "q", "b"},
                                              {"a", "p", "c"},
                                              {"a", "q", "c"},
                                              {"b", "p", "a"},
                                              {"b", "q", "a"},
                                              {"b", "p", "c"},
                                              {"b", "q", "c"},
                                              {"c", "p", "a"},
                                              {"c", "q", "a"},
                                              {"c", "p", "b"},
                                              {"c", "q", "b"}}));
  EXPECT_EQ(f.all(f.space({dn, ba, dn}, true)), (std::vector<Names>{{"a", "p", "b"},
                                                                    {"a", "q", "b"},
                                                                    {"a", "p", "c"},
                                                                    {"a", "q", "c"},
                                                                    {"b", "p", "c"},
                                                                    {"b", "q", "c"}}));
  EXPECT_EQ(f.space({}, true).size(), 0u);
  EXPECT_EQ(f.space({dn, {L::Unknown, L::Any}}, true).size(), 0u);
  EXPECT_EQ(f.space({ba, ba, ba}, true).size(), 0u);
}

TEST(Enumerate, StartingAtAnyRankContinuesTheSameSequence) {
  ColumnSchema dn{L::Double, L::Numeric}, aa{L::Any, L::Any};
  std::vector<FeatureRef> fs;
  for (int i = 0; i < 6; ++i)
    fs.push_back(root("f" + std::to_string(i), i % 2 ? L::Double : L::Boolean, L::Numeric));
  // A schema only one input matches: its slot never moves while the others run through theirs.
  ColumnSchema one{L::Integer, L::Any};
  fs.push_back(root("i", L::Integer, L::Numeric));
  SpaceFixture f(std::move(fs));
  for (bool commutative : {true, false}) {
    for (const auto& sig : std::vector<std::vector<ColumnSchema>>{{aa, aa, aa},
                                                                  {dn, aa, dn},
                                                                  {aa, dn, aa, dn},
                                                                  {dn},
                                                                  {aa},
                                                                  {aa, aa},
                                                                  {dn, aa},
                                                                  {dn, one},
                                                                  {one, dn, dn},
                                                                  {dn, one, aa}}) {
      auto space = f.space(sig, commutative);
      auto all = f.all(space);
      ASSERT_EQ(all.size(), space.size());
      std::set<Names> distinct(all.begin(), all.end());
      EXPECT_EQ(distinct.size(), all.size());
      std::vector<Names> sorted = all;
      std::sort(sorted.begin(), sorted.end());
      if (sig.size() <= 2) {
        EXPECT_EQ(sorted, all) << "lexicographic order of match indices";
      }
      for (std::uint64_t r = 0; r < space.size(); ++r) {
        for (std::size_t step : {1, 3, 64}) {
          auto tail = f.all(space, r, step);
          ASSERT_TRUE(std::equal(tail.begin(), tail.end(), all.begin() + r))
              << "rank " << r << " step " << step;
        }
      }
    }
  }
}

TEST(Synthesize, OrderAcrossPrimitivesAndSignatures) {
  std::vector<FeatureRef> fs = {root("a", L::Double, L::Numeric), root("b", L::Double, L::Numeric),
                                root("t", L::Boolean, L::Unknown)};
  std::vector<PrimitiveRef> ps = {
      build_primitive("neg", "m", "transform", false,
                      {{{"Double", "Numeric"}}, {{"Boolean", "Any"}}, {{"Boolean", std::nullopt}}},
                      {"Double", "Numeric"}),
      build_primitive("agg", "m", "aggregation", false, {{{"Any", "Any"}}}, {"Double", "Numeric"}),
      build_primitive("add", "m", "transform", true,
                      {{{"Double", "Numeric"}, {"Double", "Numeric"}}}, {"Double", "Numeric"})};
  auto out = generate_features(fs, ps);
  Names got;
  for (const auto& f : out) got.emplace_back(f->name());
  EXPECT_EQ(got, (Names{"a", "b", "t", "neg_a", "neg_b", "neg_t", "add_a_b"}));
  EXPECT_EQ(out[6]->generating_primitive(), ps[2].get());
  EXPECT_EQ(out[6]->base_features()[1], fs[1].get());
}

TEST(Synthesize, IdsAgreeWithTheOneByOneConstructorOnEveryHashingPath) {
  // Every shape the engine hashes: prepared blocks (a 64-digit primitive id and two or more slots,
  // commutative or not), single inputs, and primitive ids of other lengths, whose inputs straddle
  // blocks; each on both SHA-256 paths and across many chunks.
  std::vector<FeatureRef> fs;
  for (int i = 0; i < 90; ++i)
    fs.push_back(root("f" + std::to_string(i), i % 3 ? L::Double : L::Boolean, L::Numeric));
  auto primitive = [](std::string name, bool commutative, std::vector<std::vector<NamePair>> sigs,
                      std::optional<std::string> id = std::nullopt) {
    Primitive p =
        *build_primitive(name, "m", "transform", commutative, sigs, {"Double", "Numeric"});
    if (id) p.id = *id;
    return make_primitive(std::move(p));
  };
  NamePair dn{"Double", "Numeric"}, an{"Any", "Numeric"}, bn{"Boolean", "Numeric"};
  std::vector<PrimitiveRef> ps = {
      primitive("add", true, {{dn, dn}, {an, an, an}}),
      primitive("sub", false, {{dn, dn}, {bn, dn, bn}}),
      primitive("neg", false, {{an}}),
      primitive("odd", true, {{dn, dn}, {dn}}, "x"),
      primitive("long", false, {{bn, dn}}, std::string(100, 'y')),
  };
  const Sha256Kernel& chosen = sha256_kernel();
  std::vector<std::vector<FeatureRef>> runs;
  for (const Sha256Kernel* kernel : sha256_kernels()) {
    if (use_sha256_kernel(*kernel)) runs.push_back(generate_features(fs, ps));
  }
  ASSERT_TRUE(use_sha256_kernel(chosen));
  for (const auto& out : runs) {
    ASSERT_EQ(out.size(), runs[0].size());
    for (std::size_t i = fs.size(); i < out.size(); ++i) {
      const Feature& f = *out[i];
      auto expected = build_feature("x", std::nullopt, f.generating_primitive(), f.base_features());
      ASSERT_TRUE(same_id(f, *expected)) << i << " " << f.name();
      ASSERT_TRUE(same_id(f, *runs[0][i]));
      ASSERT_EQ(f.name(), runs[0][i]->name());
    }
  }
}

TEST(Synthesize, ChunksAccountForEveryReference) {
  // Several chunks take their references in bulk; under the sanitizers a missing one shows up as
  // a use after free below, an extra one as a leak.
  std::vector<FeatureRef> fs;
  for (int i = 0; i < 100; ++i) fs.push_back(root("f" + std::to_string(i), L::Double, L::Numeric));
  PrimitiveRef p = build_primitive("sub", "m", "transform", false,
                                   {{{"Any", "Any"}, {"Any", "Any"}}}, {"Double", "Numeric"});
  std::vector<PrimitiveRef> ps = {p, p};
  auto out = generate_features(fs, ps);
  ASSERT_EQ(out.size(), 100u + 2 * 9900u);
  EXPECT_EQ(out.back()->name(), "sub_f99_f98");
  out.clear();
  ps.clear();
  EXPECT_EQ(p->name, "sub");
  for (const auto& f : fs) EXPECT_EQ(f->base_features().size(), 0u);
}

TEST(Synthesize, RefusesWhatCannotFitInMemory) {
  std::vector<FeatureRef> fs;
  for (int i = 0; i < 3000; ++i) fs.push_back(root("f" + std::to_string(i), L::Double, L::Numeric));
  auto message_for = [&](int slots) {
    std::vector<NamePair> sig(slots, NamePair{"Any", "Any"});
    std::vector<PrimitiveRef> ps = {
        build_primitive("p", "m", "transform", false, {sig}, {"Any", "Any"})};
    try {
      generate_features(fs, ps);
    } catch (const TooManyFeatures& e) {
      return std::string(e.what());
    }
    return std::string("built");
  };
  EXPECT_EQ(message_for(3),
            "generate_features would create 26973006000 new features, more than fit in memory");
  // Every input twice: counted on its matches, once per id, the same number.
  std::vector<FeatureRef> copies = fs;
  fs.insert(fs.end(), copies.begin(), copies.end());
  EXPECT_EQ(message_for(3),
            "generate_features would create 26973006000 new features, more than fit in memory");
  EXPECT_EQ(message_for(40),
            "generate_features would create more than 18446744073709551615 new features, more than "
            "fit in memory");
}

TEST(WorkerPool, FirstFailureByChunkOrderWinsAndStopInterrupts) {
  std::atomic<int> ran{0};
  auto body = [&](std::size_t i, ChunkRun&) {
    ++ran;
    if (i == 37 || i == 5 || i == 90) panic("chunk " + std::to_string(i));
  };
  // Run several times: which chunk fails first in time varies, the answer must not.
  CapturedStderr diagnostics;
  for (int attempt = 0; attempt < 5; ++attempt) {
    try {
      run_chunks(100, body, {});
      FAIL() << "no failure";
    } catch (const Panic& e) {
      EXPECT_EQ(e.message(), "chunk 5");
    }
  }
  ran = 0;
  run_chunks(100, [&](std::size_t, ChunkRun&) { ++ran; }, {});
  EXPECT_EQ(ran, 100);
  // The probe is asked on the calling thread; once it says stop, chunks stop starting.
  std::atomic<int> asked{0};
  ran = 0;
  auto slow = [&](std::size_t, ChunkRun&) {
    ++ran;
    std::this_thread::sleep_for(std::chrono::microseconds(200));
  };
  EXPECT_THROW(run_chunks(2000, slow, [&] { return ++asked >= 3; }), Interrupted);
  EXPECT_LT(ran, 2000);
}

std::size_t threads_of_process() {
  std::size_t n = 0;
  for ([[maybe_unused]] const auto& entry :
       std::filesystem::directory_iterator("/proc/self/task")) {
    ++n;
  }
  return n;
}

// A joined thread may still be listed for a moment: the kernel wakes its joiner before it has
// removed the thread (a moment that emulation and a busy machine stretch).
std::size_t threads_of_process_once_settled(std::size_t expected) {
  auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
  std::size_t n = threads_of_process();
  while (n != expected && std::chrono::steady_clock::now() < deadline) {
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
    n = threads_of_process();
  }
  return n;
}

// As before a fork: idle workers end and the next loop makes new ones; while a loop runs (a fork
// from a signal handler run by the probe) nothing is stopped.
TEST(WorkerPool, IdleWorkersEndAndComeBack) {
  if (pool_size() < 2) GTEST_SKIP() << "a pool of one thread has no workers";
  std::atomic<std::size_t> ran{0};
  auto count = [&](std::size_t, ChunkRun&) { ++ran; };
  run_chunks(100, count, {});
  std::size_t with_workers = threads_of_process();
  stop_idle_workers();
  std::size_t without = with_workers - (pool_size() - 1);
  EXPECT_EQ(threads_of_process_once_settled(without), without);
  std::size_t stops = 0;
  run_chunks(100, count, {}, [&](std::size_t) {
    stop_idle_workers();
    ++stops;
  });
  EXPECT_EQ(stops, 100u);
  EXPECT_EQ(ran, 200u);
  EXPECT_EQ(threads_of_process(), with_workers);
}

TEST(WorkerPool, ConcurrentAndNestedCallersEachGetEveryChunkOnce) {
  // Threads race for the pool; the losers, and a loop started from inside a running loop's stop
  // probe (as a signal handler would), run on their own thread. Every loop sees each of its
  // chunks run exactly once.
  auto check_loop = [](std::size_t count, const StopProbe& stop) {
    std::vector<std::atomic<int>> runs(count);
    run_chunks(
        count,
        [&](std::size_t i, ChunkRun& run) {
          runs[i].fetch_add(1);
          run.stopping();
        },
        stop);
    for (auto& r : runs) ASSERT_EQ(r.load(), 1);
  };
  std::vector<std::thread> callers;
  for (int t = 0; t < 4; ++t) {
    callers.emplace_back([&, t] {
      for (int round = 0; round < 200; ++round) {
        int nested = 0;
        check_loop(64 + t, [&] {
          if (nested++ == 0) check_loop(16, {});
          return false;
        });
      }
    });
  }
  for (auto& c : callers) c.join();
}

}  // namespace
}  // namespace tolvane
