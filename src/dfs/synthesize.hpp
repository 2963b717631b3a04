#pragma once

#include <cstdint>
#include <exception>
#include <span>
#include <string>
#include <vector>

#include "dfs/worker_pool.hpp"
#include "feature/feature.hpp"
#include "primitive.hpp"

namespace tolvane {

// The new features would not fit in memory (or in any list); nothing was built.
class TooManyFeatures : public std::exception {
 public:
  explicit TooManyFeatures(std::uint64_t count);
  const char* what() const noexcept override { return message_.c_str(); }

 private:
  std::string message_;
};

// One level of synthesis: `features` followed by every feature that each primitive whose
// function_type is "transform" makes from them, in primitive order, then signature order, then
// candidate order. The work runs on the process-wide pool; `stop` is consulted on the calling
// thread (Interrupted when it says stop).
std::vector<FeatureRef> generate_features(std::vector<FeatureRef> features,
                                          std::span<const PrimitiveRef> primitives,
                                          const StopProbe& stop = {});

}  // namespace tolvane
