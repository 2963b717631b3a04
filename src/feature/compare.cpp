#include "feature/compare.hpp"

#include <new>

#include "feature/feature_set.hpp"
#include "memory/record_memory.hpp"
#include "support/system_limits.hpp"

namespace tolvane {
namespace {

// Distinct features in order of first occurrence, and the set of their ids.
struct DistinctFeatures {
  explicit DistinctFeatures(std::span<const FeatureRef> features) : ids(features.size()) {
    in_order.reserve(features.size());
    for (const auto& f : features) {
      if (ids.insert(f.get())) in_order.push_back(f.get());
    }
  }
  FeatureIdSet ids;
  std::vector<const Feature*> in_order;
};

std::vector<const Feature*> missing_from(const DistinctFeatures& side,
                                         const DistinctFeatures& other) {
  std::vector<const Feature*> out;
  for (const Feature* f : side.in_order) {
    if (!other.ids.contains(*f)) out.push_back(f);
  }
  return out;
}

}  // namespace

std::pair<std::vector<const Feature*>, std::vector<const Feature*>> compare_featuresets(
    std::span<const FeatureRef> features1, std::span<const FeatureRef> features2,
    MemoryReservation& memory) {
  // Per feature: its slot in an id set (at most 8/3 slots of 8 bytes) and in the list of distinct
  // ones, and should it be reported, what the caller spends on it.
  constexpr std::uint64_t kBytesPerFeature = 22 + sizeof(void*) + kCallerBytesPerFeature;
  if (!memory.reserve((std::uint64_t{features1.size()} + features2.size()) * kBytesPerFeature)) {
    throw std::bad_alloc();
  }
  DistinctFeatures first(features1);
  DistinctFeatures second(features2);
  return {missing_from(first, second), missing_from(second, first)};
}

}  // namespace tolvane
