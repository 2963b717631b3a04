#pragma once

#include <span>
#include <utility>
#include <vector>

#include "feature/feature.hpp"

namespace tolvane {

// The features of each side whose id the other side lacks, one per id (the first occurrence),
// in input order. The pointers refer into the inputs.
std::pair<std::vector<const Feature*>, std::vector<const Feature*>> compare_featuresets(
    std::span<const FeatureRef> features1, std::span<const FeatureRef> features2);

}  // namespace tolvane
