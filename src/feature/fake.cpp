#include "feature/fake.hpp"

#include <algorithm>
#include <charconv>
#include <memory>
#include <new>

#include "feature/feature_id.hpp"
#include "memory/record_memory.hpp"
#include "support/system_limits.hpp"

namespace tolvane {

namespace {

// Each feature's record (its header, its name of up to 12 bytes and their length) and what the
// caller spends on it.
constexpr std::uint64_t kBytesPerFeature = sizeof(Feature) + 16 + kCallerBytesPerFeature;

}  // namespace

std::vector<FeatureRef> generate_fake_features(std::int32_t n_features, MemoryReservation& memory) {
  if (n_features > 1 && !memory.reserve(std::uint64_t(n_features) * kBytesPerFeature)) {
    throw std::bad_alloc();
  }
  const ColumnSchema schema{*parse_logical_type("integer"), *parse_logical_type("numeric")};
  std::vector<FeatureRef> out;
  out.reserve(n_features > 1 ? static_cast<std::size_t>(n_features) : 1);
  out.push_back(build_feature("idx", schema, nullptr, {}));
  // The names F_0, F_1, ... are hashed a batch at a time: the batch kernel interleaves messages.
  // The batch lives on the heap: calls nest (signal handlers), and stack is scarce on small
  // threads.
  constexpr std::size_t kBatch = 256;
  struct Batch {
    char names[kBatch][16];
    std::string_view views[kBatch];
    Digest ids[kBatch];
  };
  auto b = std::make_unique<Batch>();
  const std::int64_t count = std::int64_t{n_features} - 1;
  for (std::int64_t first = 0; first < count; first += kBatch) {
    const auto batch = static_cast<std::size_t>(std::min<std::int64_t>(kBatch, count - first));
    for (std::size_t j = 0; j < batch; ++j) {
      char* name = b->names[j];
      name[0] = 'F';
      name[1] = '_';
      char* end = std::to_chars(name + 2, name + sizeof b->names[j], first + j).ptr;
      b->views[j] = {name, static_cast<std::size_t>(end - name)};
    }
    root_ids(batch, b->views, b->ids);
    for (std::size_t j = 0; j < batch; ++j) {
      out.push_back(build_root_feature(b->views[j], schema, b->ids[j]));
    }
  }
  return out;
}

}  // namespace tolvane
