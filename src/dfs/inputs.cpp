#include "dfs/inputs.hpp"

#include <algorithm>
#include <limits>

#include "feature/feature_id.hpp"
#include "memory/huge_pages.hpp"

namespace tolvane {
namespace {

// A set of id keys that may answer yes wrongly but never no wrongly: each key marks two bits of one
// word, in a table of `bits_per_key` bits per key it is made for.
class KeyFilter {
 public:
  // A big filter is read at random: in huge pages, where they are cheap, its reads miss the TLB
  // far less.
  KeyFilter(std::size_t keys, std::size_t bits_per_key) {
    const std::size_t words = std::bit_ceil(std::max<std::size_t>(keys * bits_per_key / 64, 1));
    words_.reserve(words);
    advise_huge_pages(words_.data(), words * sizeof(std::uint64_t));
    words_.assign(words, 0);
  }

  void prefetch(std::uint64_t key) const { __builtin_prefetch(&words_[word(key)], 1); }
  bool contains(std::uint64_t key) const { return (words_[word(key)] & bits(key)) == bits(key); }
  // Whether the key was in the set already.
  bool insert(std::uint64_t key) {
    bool was = contains(key);
    words_[word(key)] |= bits(key);
    return was;
  }

 private:
  // The word, from bits of the key that the two bit numbers leave alone.
  std::size_t word(std::uint64_t key) const { return (key >> 12) & (words_.size() - 1); }
  static std::uint64_t bits(std::uint64_t key) {
    return std::uint64_t{1} << (key & 63) | std::uint64_t{1} << (key >> 6 & 63);
  }

  std::vector<std::uint64_t> words_;
};

constexpr std::uint32_t kNoBlock = std::numeric_limits<std::uint32_t>::max();

}  // namespace

InputTable::InputTable(std::span<const FeatureRef> features) {
  reserve(features.size());
  for (const FeatureRef& f : features) add(*f);
}

bool ids_distinct(const InputTable& inputs) {
  // The keys go through a filter of 16 bits per input: a key found there already is a suspect.
  // For a big list the filter is larger than the caches, so each key's word is fetched a few
  // dozen keys before it is needed. (Done apart from the pass over the records: mixed into it,
  // these fetches slow the records' stream down by more than they take alone.)
  const std::span<const std::uint64_t> keys = inputs.keys;
  const std::size_t n = keys.size();
  constexpr std::size_t kAhead = 32;
  KeyFilter seen(n, 16);
  std::vector<std::uint64_t> suspects;
  for (std::size_t i = 0; i < n; ++i) {
    if (i + kAhead < n) seen.prefetch(keys[i + kAhead]);
    if (seen.insert(keys[i])) suspects.push_back(keys[i]);
  }
  if (suspects.empty()) return true;
  std::sort(suspects.begin(), suspects.end());
  suspects.erase(std::unique(suspects.begin(), suspects.end()), suspects.end());
  // Every input whose key is a suspect, found through a filter of the suspects alone (small enough
  // to stay in the caches, and sparse enough to send few keys on to the search), ordered by id:
  // equal ids end up side by side.
  KeyFilter suspected(suspects.size(), 64);
  for (std::uint64_t key : suspects) suspected.insert(key);
  std::vector<std::pair<std::uint64_t, const Feature*>> same_key;
  for (std::size_t i = 0; i < n; ++i) {
    const std::uint64_t key = keys[i];
    if (suspected.contains(key) && std::binary_search(suspects.begin(), suspects.end(), key)) {
      same_key.emplace_back(key, inputs.records[i]);
    }
  }
  std::sort(same_key.begin(), same_key.end(), [](const auto& a, const auto& b) {
    return a.first != b.first ? a.first < b.first : id_less(*a.second, *b.second);
  });
  return std::adjacent_find(same_key.begin(), same_key.end(), [](const auto& a, const auto& b) {
           return same_id(*a.second, *b.second);
         }) == same_key.end();
}

void Inputs::prepare_block(std::uint32_t input) {
  if (block_of_.empty()) block_of_.assign(size(), kNoBlock);
  if (block_of_[input] != kNoBlock) return;
  block_of_[input] = static_cast<std::uint32_t>(blocks_.size());
  char text[kBaseIdBytes];
  write_base_id(table_.records[input]->id(), text);
  sha256_prepare(blocks_.emplace_back(), reinterpret_cast<const std::uint8_t*>(text));
}

}  // namespace tolvane
