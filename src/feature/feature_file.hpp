#pragma once

#include <span>
#include <string>

#include "feature/feature.hpp"
#include "support/interrupt.hpp"

namespace tolvane {

// {"features":[...],"primitives":[...]}: the given features and all their ancestors, one object
// per id, then every distinct generating primitive, each array in the order a depth-first,
// pre-order walk of the input first meets them.
std::string feature_file_json(std::span<const FeatureRef> features);

// Writes the text to `filename` as it is produced (see write_file: when the file is replaced
// whole and when written in place; it asks `stop` between pieces and while a write waits). Throws
// std::bad_alloc, before writing anything, when the walk over `features` cannot fit in memory.
void save_features(std::span<const FeatureRef> features, const std::string& filename,
                   const StopProbe& stop);

}  // namespace tolvane
