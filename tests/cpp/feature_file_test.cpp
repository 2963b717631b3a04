#include "feature/feature_file.hpp"

#include <gtest/gtest.h>

#include <vector>

#include "feature/feature.hpp"

namespace tolvane {
namespace {

// The text is reserved once from the walk: a reservation that fell short would double the
// buffer, one that ran long would waste memory on every large file.
TEST(FeatureFile, TextFillsItsReservation) {
  auto add = build_primitive("add", "m", "transform", true, {{{"double", "numeric"}}},
                             {"double", "numeric"});
  auto long_named = build_primitive("a primitive with a long name", "", "transform", false, {},
                                    {"any", std::nullopt});
  std::vector<FeatureRef> features;
  features.push_back(
      build_feature("a", ColumnSchema{LogicalType::Integer, LogicalType::Numeric}, nullptr, {}));
  features.push_back(build_feature(
      "boolean", ColumnSchema{LogicalType::BooleanNullable, LogicalType::Any}, nullptr, {}));
  for (int generation = 0; generation < 3; ++generation) {
    const Feature* bases[] = {features[features.size() - 2].get(), features.back().get()};
    features.push_back(build_feature("", std::nullopt, add.get(), bases));
    features.push_back(build_feature("", std::nullopt, long_named.get(), {bases, 1}));
  }
  for (std::size_t count : {std::size_t{1}, features.size()}) {
    std::string text = feature_file_json({features.data(), count});
    // A comma too many for each feature with base features, and one for the last feature.
    EXPECT_LE(text.capacity(), text.size() + count + 1);
  }
}

}  // namespace
}  // namespace tolvane
