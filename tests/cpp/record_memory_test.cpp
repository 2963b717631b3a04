// The rules of memory/record_memory.hpp, one by one: references counted, added in bulk, kept in
// cells and dropped in bulk. Run under ThreadSanitizer too (make tsan), with threads sharing
// records.
#include "memory/record_memory.hpp"

#include <gtest/gtest.h>

#include <atomic>
#include <thread>
#include <vector>

#if defined(__SANITIZE_ADDRESS__)
#include <sanitizer/lsan_interface.h>
#endif

#include "feature/feature.hpp"

namespace tolvane {
namespace {

const ColumnSchema kIntNum{LogicalType::Integer, LogicalType::Numeric};

// Records come from hooks that count what they give back: a record is freed when `freed` grows.
class RecordMemoryTest : public ::testing::Test {
 protected:
  static inline std::atomic<int> freed{0}, cells_freed{0};
  // An input and a primitive, made once the hooks are in place.
  FeatureRef base;
  PrimitiveRef p;

  void SetUp() override {
    freed = 0;
    cells_freed = 0;
    install_record_memory({[](const Feature*) noexcept { ++cells_freed; },
                           [](std::size_t size) noexcept { return ::operator new(size); },
                           [](const Feature* f) noexcept {
                             ::operator delete(const_cast<Feature*>(f));
                             ++freed;
                           }});
    base = root("base");
    p = add();
  }
  void TearDown() override {
    base = {};
    p = {};
    install_record_memory({});
  }

  static FeatureRef root(std::string_view name) {
    return build_feature(name, kIntNum, nullptr, {});
  }
  static PrimitiveRef add() {
    return build_primitive("add", "m", "transform", true, {{{"integer", "numeric"}}},
                           {"integer", "numeric"});
  }
  // Fills a batch over the one input `input` with `n` features of it, their references counted.
  static void fill(SynthesizedBatch& batch, const Feature* input, std::size_t n) {
    auto room = batch.extend(n);
    for (std::size_t i = 0; i < n; ++i) {
      room.ids[i] = Digest{};
      room.positions[i] = 0;
    }
    batch.set_base_refs({{input, static_cast<std::uint32_t>(n)}});
  }
  // A dropped cell's record, taken apart as the binding layer takes it: its references on its
  // bases and primitive handed to `drops`. False when it was not the record's last reference.
  static bool hand_over(FeatureRef& f, DeferredDrops& drops) {
    const Feature* record = f.release();
    if (!record->drop_ref()) return false;
    Feature::take_apart(
        record, [&](std::span<const Feature* const> bases) { drops.drop(bases); },
        [&](const Primitive* q) { drops.drop(q); });
    ::operator delete(const_cast<Feature*>(record));
    return true;
  }
  // `n` features made by `maker` from `input` alone, as a synthesis call makes them (one batch).
  static std::vector<FeatureRef> made_from(const Feature* input, const Primitive& maker,
                                           std::size_t n) {
    const Feature* inputs[] = {input};
    SynthesizedBatch batch(maker, 1, inputs, n);
    fill(batch, input, n);
    batch.add_refs();
    std::vector<FeatureRef> out;
    for (std::size_t i = 0; i < n; ++i) out.push_back(FeatureRef::adopt(batch.build_next()));
    return out;
  }
};

TEST_F(RecordMemoryTest, CountsPastTheTopStick) {
  FeatureRef f = root("f");
  f->add_refs((1u << 31) - 2);
  f->add_refs(5);  // would pass the top: pinned
  for (int i = 0; i < 1000; ++i) EXPECT_FALSE(f->drop_ref());
  f->add_refs(1);
  EXPECT_FALSE(f->drop_ref());
  // Such a record is never freed: this one is left behind on purpose.
#if defined(__SANITIZE_ADDRESS__)
  __lsan_ignore_object(f.get());
#endif
}

TEST_F(RecordMemoryTest, ThreadsSharingRecordsLeaveExactCounts) {
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([&] {
      for (int i = 0; i < 2000; ++i) {
        // Copies taken and dropped on every thread are the test.
        // NOLINTNEXTLINE(performance-unnecessary-copy-initialization)
        FeatureRef copy = base;
        // NOLINTNEXTLINE(performance-unnecessary-copy-initialization)
        PrimitiveRef q = p;
        const Feature* bases[] = {copy.get()};
        FeatureRef derived = build_feature("", std::nullopt, q.get(), bases);
      }
    });
  }
  for (auto& t : threads) t.join();
  EXPECT_EQ(base->refs(), 1u);
  EXPECT_EQ(freed, 4 * 2000);
  base = {};
  EXPECT_EQ(freed, 4 * 2000 + 1);
}

TEST_F(RecordMemoryTest, BatchesAddTheirCountedReferencesOnceAndDropThoseNeverBuilt) {
  {
    const Feature* inputs[] = {base.get()};
    SynthesizedBatch batch(*p, 1, inputs, 3);
    fill(batch, base.get(), 3);
    EXPECT_EQ(base->refs(), 1u);  // nothing added until the batch is taken over
    batch.add_refs();
    EXPECT_EQ(base->refs(), 4u);
    FeatureRef built = FeatureRef::adopt(batch.build_next());
    EXPECT_EQ(base->refs(), 4u);
  }  // the two never built, and the one built, are gone
  EXPECT_EQ(base->refs(), 1u);
  EXPECT_EQ(freed, 0);  // records built by build_next come from operator new
}

TEST_F(RecordMemoryTest, ARecordInACellHasTwoReferencesAndHandsItsMemoryBack) {
  const Feature* inputs[] = {base.get()};
  SynthesizedBatch batch(*p, 1, inputs, 1);
  fill(batch, base.get(), 1);
  batch.add_refs();
  alignas(Feature) unsigned char cell[256];
  ASSERT_LE(batch.record_size(), sizeof cell);
  FeatureRef first = FeatureRef::adopt(batch.build_next_in_cell(cell));
  FeatureRef cells_own = FeatureRef::adopt(first.get());
  EXPECT_EQ(first->refs(), 2u);
  EXPECT_EQ(base->refs(), 2u);
  first = {};
  EXPECT_EQ(cells_freed, 0);
  cells_own = {};  // the last: the cell's memory goes back, the base's reference is dropped
  EXPECT_EQ(cells_freed, 1);
  EXPECT_EQ(base->refs(), 1u);
}

TEST_F(RecordMemoryTest, DeferredDropsWaitOnlyForWidelySharedRecords) {
  FeatureRef few = root("few"), many = root("many");
  auto made_few = made_from(few.get(), *p, DeferredDrops::kShared - 2);
  auto made_many = made_from(many.get(), *p, DeferredDrops::kShared + 10);
  DeferredDrops drops;
  // Each new feature's references handed over, as a dropped cell hands them.
  for (auto* made : {&made_few, &made_many}) {
    for (FeatureRef& f : *made) ASSERT_TRUE(hand_over(f, drops));
  }
  EXPECT_EQ(few->refs(), 1u);                             // dropped at once: few held it
  EXPECT_EQ(many->refs(), DeferredDrops::kShared + 11u);  // waiting
  EXPECT_GT(p->refs(), 1u);
  drops.flush_all();
  EXPECT_EQ(many->refs(), 1u);
  EXPECT_EQ(p->refs(), 1u);
}

TEST_F(RecordMemoryTest, ARecordGoesWhenItsDeferredDropsAreAllThatHoldIt) {
  FeatureRef shared = root("shared");
  auto made = made_from(shared.get(), *p, 2 * DeferredDrops::kShared);
  DeferredDrops drops;
  // The input's own holder lets go first: only the new features hold it.
  const Feature* input = shared.release();
  ASSERT_FALSE(input->drop_ref());
  for (FeatureRef& f : made) ASSERT_TRUE(hand_over(f, drops));
  EXPECT_EQ(freed, 1);  // freed with its last drop, not at the next flush
  drops.flush_all();
}

TEST_F(RecordMemoryTest, ThreadsWithDeferredDropsOfTheirOwnShareRecords) {
  FeatureRef shared = root("shared");
  constexpr int kThreads = 4, kEach = 5000;
  std::vector<std::vector<FeatureRef>> made;
  for (int t = 0; t < kThreads; ++t) made.push_back(made_from(shared.get(), *p, kEach));
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&, t] {
      DeferredDrops drops;
      for (FeatureRef& f : made[t]) EXPECT_TRUE(hand_over(f, drops));
      drops.flush_all();
    });
  }
  for (auto& t : threads) t.join();
  EXPECT_EQ(shared->refs(), 1u);
  EXPECT_EQ(p->refs(), 1u);
}

}  // namespace
}  // namespace tolvane
