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

// Builds the text in memory, then creates or truncates `filename` and writes it in one go. `stop`
// is asked while the write waits or goes on (write_whole_file).
void save_features(std::span<const FeatureRef> features, const std::string& filename,
                   const StopProbe& stop);

}  // namespace tolvane
