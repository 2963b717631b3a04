#pragma once

#include <cstdint>
#include <vector>

#include "feature/feature.hpp"

namespace tolvane {

// idx, F_0, F_1, ... F_<n-2>: n root features of schema Integer/Numeric (at least idx).
std::vector<FeatureRef> generate_fake_features(std::int32_t n_features);

}  // namespace tolvane
