#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "dfs/demand.hpp"
#include "dfs/inputs.hpp"
#include "dfs/worker_pool.hpp"
#include "feature/feature.hpp"
#include "memory/record_memory.hpp"
#include "primitive.hpp"

namespace tolvane {

// Receives the new features of one call on the calling thread, a run at a time, as soon as a run
// and every run before it are made: the caller turns them into its own objects while the workers
// go on making the rest.
class FeatureSink {
 public:
  virtual ~FeatureSink() = default;
  // Before anything is made: how many new features the call makes.
  virtual void reserve(std::uint64_t count) = 0;
  // The new features at [first, first + batch.size()) of the call's new features, whose records
  // the sink builds (see SynthesizedBatch), in order; the batch drops the references of those it
  // leaves unbuilt. If it throws, the call fails with that exception.
  virtual void take(std::uint64_t first, SynthesizedBatch& batch) = 0;
};

// One level of synthesis: every feature that each primitive whose function_type is "transform"
// makes from `features`, in primitive order, then signature order, then candidate order, handed
// to `sink`. The work runs on the process-wide pool; `stop` is consulted on the calling thread
// (Interrupted when it says stop). Throws TooManyFeatures, before anything is built, when the new
// features cannot fit in the memory the process can still get.
void generate_features(std::span<const FeatureRef> features,
                       std::span<const PrimitiveRef> primitives, FeatureSink& sink,
                       const StopProbe& stop = {});

// The same, from the table of the features (InputTable) that the caller made as it gathered them;
// the caller keeps the features alive.
void generate_features(InputTable features, std::span<const PrimitiveRef> primitives,
                       FeatureSink& sink, const StopProbe& stop = {});

// The same, collected: `features` followed by the new features.
std::vector<FeatureRef> generate_features(std::span<const FeatureRef> features,
                                          std::span<const PrimitiveRef> primitives,
                                          const StopProbe& stop = {});

}  // namespace tolvane
