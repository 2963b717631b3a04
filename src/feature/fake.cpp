#include "feature/fake.hpp"

#include <algorithm>
#include <charconv>

namespace tolvane {

std::vector<FeatureRef> generate_fake_features(std::int32_t n_features) {
  const ColumnSchema schema{*parse_logical_type("integer"), *parse_logical_type("numeric")};
  std::vector<FeatureRef> out;
  out.reserve(n_features > 1 ? static_cast<std::size_t>(n_features) : 1);
  out.push_back(build_feature("idx", schema, nullptr, {}));
  RecordArena arena;
  // The names F_0, F_1, ... are hashed a batch at a time: the batch kernel interleaves messages.
  constexpr std::size_t kBatch = 256;
  char names[kBatch][16];
  std::string_view views[kBatch];
  Digest ids[kBatch];
  const Sha256State initial = sha256_start();
  const Sha256State* starts[kBatch];
  std::fill(std::begin(starts), std::end(starts), &initial);
  const std::int64_t count = std::int64_t{n_features} - 1;
  for (std::int64_t first = 0; first < count; first += kBatch) {
    const auto batch = static_cast<std::size_t>(std::min<std::int64_t>(kBatch, count - first));
    for (std::size_t j = 0; j < batch; ++j) {
      char* name = names[j];
      name[0] = 'F';
      name[1] = '_';
      char* end = std::to_chars(name + 2, name + sizeof names[j], first + j).ptr;
      views[j] = {name, static_cast<std::size_t>(end - name)};
    }
    sha256_finish_tails(batch, starts, views, ids);
    for (std::size_t j = 0; j < batch; ++j) {
      out.push_back(build_root_feature(arena, views[j], schema, ids[j]));
    }
  }
  return out;
}

}  // namespace tolvane
