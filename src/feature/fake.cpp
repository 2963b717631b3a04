#include "feature/fake.hpp"

#include <charconv>

namespace tolvane {

std::vector<FeatureRef> generate_fake_features(std::int32_t n_features) {
  const ColumnSchema schema{*parse_logical_type("integer"), *parse_logical_type("numeric")};
  std::vector<FeatureRef> out;
  out.reserve(n_features > 1 ? static_cast<std::size_t>(n_features) : 1);
  out.push_back(build_feature("idx", schema, nullptr, {}));
  char name[16] = "F_";
  for (std::int32_t i = 0; i + 1 < n_features; ++i) {
    char* end = std::to_chars(name + 2, name + sizeof name, i).ptr;
    out.push_back(build_feature({name, static_cast<std::size_t>(end - name)}, schema, nullptr, {}));
  }
  return out;
}

}  // namespace tolvane
