// Allocation failures injected at every point of a synthesis call, on whichever thread makes the
// allocation: each call either succeeds or throws std::bad_alloc, and afterwards every record it
// made is gone again. The replaced operator new below counts the blocks alive in this binary.

#include <gtest/gtest.h>

#include <atomic>
#include <cstdlib>
#include <new>
#include <string>
#include <vector>

#include "dfs/synthesize.hpp"

namespace {

std::atomic<long> live_blocks{0};
std::atomic<long> allocations_until_failure{-1};  // negative: never fail

void* allocate(std::size_t size) {
  if (allocations_until_failure.load(std::memory_order_relaxed) >= 0 &&
      allocations_until_failure.fetch_sub(1, std::memory_order_relaxed) == 0) {
    throw std::bad_alloc();
  }
  void* p = std::malloc(size ? size : 1);
  if (!p) throw std::bad_alloc();
  live_blocks.fetch_add(1, std::memory_order_relaxed);
  return p;
}

void release(void* p) noexcept {
  if (!p) return;
  live_blocks.fetch_sub(1, std::memory_order_relaxed);
  std::free(p);
}

}  // namespace

void* operator new(std::size_t size) { return allocate(size); }
void* operator new[](std::size_t size) { return allocate(size); }
void operator delete(void* p) noexcept { release(p); }
void operator delete[](void* p) noexcept { release(p); }
void operator delete(void* p, std::size_t) noexcept { release(p); }
void operator delete[](void* p, std::size_t) noexcept { release(p); }

namespace tolvane {
namespace {

// Inputs whose new names are the largest allocations: long names, as a careless caller might give.
std::vector<FeatureRef> long_named_features() {
  std::vector<FeatureRef> features;
  for (char c : std::string("abc")) {
    features.push_back(build_feature(std::string(240'000, c),
                                     ColumnSchema{LogicalType::Integer, LogicalType::Numeric},
                                     nullptr, {}));
  }
  return features;
}

std::vector<PrimitiveRef> add_and_sub() {
  std::vector<PrimitiveRef> primitives;
  for (const char* name : {"add", "sub"}) {
    primitives.push_back(build_primitive(name, "m", "transform", name[0] == 'a',
                                         {{{"Integer", "Numeric"}, {"Integer", "Numeric"}}},
                                         {"Integer", "Numeric"}));
  }
  return primitives;
}

TEST(AllocationFailure, EveryPointOfASynthesisCallLeavesNothingBehind) {
  // What the first call sets up for the life of the process (the worker pool, the hashing
  // kernel's choice) is made before the counting starts.
  EXPECT_EQ(generate_features(long_named_features(), add_and_sub()).size(), 3u + 3u + 6u);
  int failures = 0;
  for (long k = 0; k < 120; ++k) {
    const long before = live_blocks.load();
    bool failed = false;
    {
      std::vector<FeatureRef> features = long_named_features();
      std::vector<PrimitiveRef> primitives = add_and_sub();
      allocations_until_failure.store(k);
      try {
        auto out = generate_features(features, primitives);
        allocations_until_failure.store(-1);
        EXPECT_EQ(out.size(), 3u + 3u + 6u);
      } catch (const std::bad_alloc&) {
        failed = true;
      }
      allocations_until_failure.store(-1);
    }
    failures += failed;
    // Inputs, primitives and whatever the call made: all released.
    EXPECT_EQ(live_blocks.load(), before)
        << "allocation " << k << (failed ? " failed" : " succeeded");
  }
  EXPECT_GT(failures, 5);
}

}  // namespace
}  // namespace tolvane
