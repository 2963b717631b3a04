#pragma once

#include <span>
#include <utility>
#include <vector>

#include "feature/feature.hpp"
#include "support/system_limits.hpp"

namespace tolvane {

// The features of each side whose id the other side lacks, one per id (the first occurrence),
// in input order. The pointers refer into the inputs. Throws std::bad_alloc, before anything is
// built, when the work cannot fit; else its memory, the caller's objects for the features reported
// included, is held in `memory`, which the caller keeps until it has made them.
std::pair<std::vector<const Feature*>, std::vector<const Feature*>> compare_featuresets(
    std::span<const FeatureRef> features1, std::span<const FeatureRef> features2,
    MemoryReservation& memory);

}  // namespace tolvane
