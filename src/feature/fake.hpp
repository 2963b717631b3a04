#pragma once

#include <cstdint>
#include <vector>

#include "feature/feature.hpp"
#include "support/system_limits.hpp"

namespace tolvane {

// idx, F_0, F_1, ... F_<n-2>: n root features of schema Integer/Numeric (at least idx). Throws
// std::bad_alloc, before making any, when they cannot fit; else their memory, the caller's objects
// for them included, is held in `memory`, which the caller keeps until it has made them.
std::vector<FeatureRef> generate_fake_features(std::int32_t n_features, MemoryReservation& memory);

}  // namespace tolvane
