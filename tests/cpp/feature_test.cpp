#include "feature/feature.hpp"

#include <gtest/gtest.h>

#include <algorithm>

#include "captured_stderr.hpp"
#include "feature/compare.hpp"
#include "feature/fake.hpp"
#include "feature/feature_file.hpp"
#include "feature/feature_set.hpp"
#include "hash/kernels.hpp"
#include "memory/record_memory.hpp"
#include "support/panic.hpp"

namespace tolvane {
namespace {

const ColumnSchema kIntNum{LogicalType::Integer, LogicalType::Numeric};

FeatureRef root(std::string_view name) { return build_feature(name, kIntNum, nullptr, {}); }

TEST(Feature, RootWithoutSchemaIsAnInternalFailure) {
  CapturedStderr diagnostics;
  try {
    build_feature("lonely", std::nullopt, nullptr, {});
    FAIL();
  } catch (const Panic& p) {
    EXPECT_EQ(p.message(), "Error unwrapping schema in lonely");
  }
}

std::string hex(const Digest& d) {
  std::string out(64, '\0');
  hex_digest(d, out.data());
  return out;
}

TEST(Feature, DerivedIdsDigestThePrimitiveIdAndTheBaseIdsInHexadecimal) {
  auto add = build_primitive("add", "m", "transform", true, {}, {"double", "numeric"});
  auto sub = build_primitive("sub", "m", "transform", false, {}, {"double", "numeric"});
  auto a = root("a"), b = root("b");
  const Feature* ba[] = {b.get(), a.get()};
  std::string lo = std::min(hex(a->id()), hex(b->id())), hi = std::max(hex(a->id()), hex(b->id()));
  EXPECT_EQ(hex(build_feature("x", std::nullopt, add.get(), ba)->id()),
            sha256_hex(add->id + lo + hi));
  EXPECT_EQ(hex(build_feature("x", std::nullopt, sub.get(), ba)->id()),
            sha256_hex(sub->id + hex(b->id()) + hex(a->id())));
  EXPECT_EQ(hex(root("a")->id()), sha256_hex("a"));
  EXPECT_EQ(build_feature("x", std::nullopt, add.get(), ba)->schema(),
            (ColumnSchema{LogicalType::Double, LogicalType::Numeric}));
}

TEST(Feature, DerivedIdsFollowTheRuleForPrimitiveIdsOfAnyLength) {
  // A catalogue's ids may be any text: ones that end inside a block, or span several.
  auto a = root("a"), b = root("b"), c = root("c");
  const Feature* cab[] = {c.get(), a.get(), b.get()};
  std::vector<std::string> sorted = {hex(a->id()), hex(b->id()), hex(c->id())};
  std::sort(sorted.begin(), sorted.end());
  for (std::size_t length : {0, 1, 63, 64, 65, 127, 128, 200}) {
    for (bool commutative : {false, true}) {
      Primitive p = *build_primitive("p", "m", "transform", commutative, {}, {"double", "numeric"});
      p.id = std::string(length, 'k');
      auto primitive = make_primitive(std::move(p));
      std::string message = primitive->id;
      if (commutative) {
        for (const auto& h : sorted) message += h;
      } else {
        message += hex(c->id()) + hex(a->id()) + hex(b->id());
      }
      EXPECT_EQ(hex(build_feature("x", std::nullopt, primitive.get(), cab)->id()),
                sha256_hex(message))
          << length << " " << commutative;
    }
  }
}

TEST(Feature, SynthesizedNamesAreBuiltFromPrimitiveAndBasesWhenRead) {
  auto p = build_primitive("p", "m", "transform", false, {}, {"double", "numeric"});
  auto a = root("a"), b = root("my_b");
  auto make = [&](std::span<const Feature* const> bases) {
    SynthesizedBatch batch(*p, bases.size(), bases.data(), 1);
    auto room = batch.extend(1);
    *room.ids = Digest{};
    std::vector<std::pair<const Feature*, std::uint32_t>> refs;
    for (std::uint32_t k = 0; k < bases.size(); ++k) {
      room.positions[k] = k;
      refs.emplace_back(bases[k], 1);
    }
    batch.set_base_refs(std::move(refs));
    batch.add_refs();
    return FeatureRef::adopt(batch.build_next());
  };
  const Feature* ab[] = {a.get(), b.get()};
  FeatureRef pab = make(ab);
  EXPECT_EQ(pab->name(), "p_a_my_b");
  const Feature* nested[] = {pab.get(), a.get(), pab.get()};
  FeatureRef outer = make(nested);
  EXPECT_EQ(outer->name(), "p_p_a_my_b_a_p_a_my_b");
  EXPECT_EQ(feature_text(*outer).substr(feature_text(*outer).rfind(":[")),
            ":[\"p_a_my_b\", \"a\", \"p_a_my_b\"]");
  // A copy keeps the name it read, whatever its new bases or primitive.
  EXPECT_EQ(with_base_features(*outer, {})->name(), "p_p_a_my_b_a_p_a_my_b");
  EXPECT_EQ(with_generating_primitive(*pab, nullptr)->name(), "p_a_my_b");
  // A chain far deeper than any stack would allow recursion for.
  FeatureRef chain = a;
  for (int i = 0; i < 200'000; ++i) {
    const Feature* bases[] = {chain.get()};
    chain = make(bases);
  }
  std::string name = chain->name();
  EXPECT_EQ(name.size(), 200'000u * 2 + 1);
  EXPECT_EQ(name.substr(name.size() - 5), "p_p_a");
}

TEST(Feature, CopiesWithOneFieldReplacedKeepTheId) {
  auto p = build_primitive("p", "m", "transform", false, {}, {"age", std::nullopt});
  auto x = root("x");
  const Feature* bases[] = {x.get()};
  auto d = build_feature("d", std::nullopt, p.get(), bases);
  auto renamed = with_name(*d, "e");
  auto rebased = with_base_features(*d, {});
  auto orphan = with_generating_primitive(*d, nullptr);
  for (const auto* f : {renamed.get(), rebased.get(), orphan.get()}) {
    EXPECT_TRUE(same_id(*f, *d));
    EXPECT_EQ(f->schema(), d->schema());
  }
  EXPECT_EQ(renamed->name(), "e");
  EXPECT_EQ(renamed->base_features().size(), 1u);
  EXPECT_TRUE(rebased->base_features().empty());
  EXPECT_EQ(orphan->generating_primitive(), nullptr);
}

TEST(Feature, VeryDeepAncestryIsFreedWithoutRecursion) {
  auto p = build_primitive("next", "m", "transform", false, {}, {std::nullopt, std::nullopt});
  FeatureRef f = root("r");
  for (int i = 0; i < 1'000'000; ++i) {
    const Feature* bases[] = {f.get()};
    f = build_feature("g", std::nullopt, p.get(), bases);
  }
  f = FeatureRef();  // would overflow the stack if destruction recursed
  SUCCEED();
}

TEST(FeatureIdSet, KeepsTheFirstPerIdAcrossGrowth) {
  std::vector<FeatureRef> features;
  for (int i = 0; i < 5000; ++i) features.push_back(root("n" + std::to_string(i % 1000)));
  FeatureIdSet set;
  int inserted = 0;
  for (const auto& f : features) inserted += set.insert(f.get());
  EXPECT_EQ(inserted, 1000);
  EXPECT_EQ(set.size(), 1000u);
  for (int i = 0; i < 1000; ++i) EXPECT_EQ(set.find(*features[1000 + i]), features[i].get());
  EXPECT_FALSE(set.contains(*root("other")));
}

// Slots keep a few bits of their member's hash beside its address: ids that agree on those bits
// and on the slot they start from are still told apart by the whole id.
TEST(FeatureIdSet, IdsAlikeInTheirSlotAndKeptHashBitsStayApart) {
  FeatureIdSet set;  // 16 slots until it holds 12
  auto signature = [](const Feature& f) { return (id_hash(f) & 15) | (id_hash(f) >> 58 & 7) << 4; };
  const FeatureRef first = root("n0");
  std::vector<FeatureRef> alike{first};
  for (int i = 1; alike.size() < 8; ++i) {
    FeatureRef f = root("n" + std::to_string(i));
    if (signature(*f) == signature(*first)) alike.push_back(f);
  }
  for (const auto& f : alike) EXPECT_TRUE(set.insert(f.get()));
  for (const auto& f : alike) {
    const FeatureRef twin = root(f->name());  // another record, the same id
    EXPECT_FALSE(set.insert(twin.get()));
    EXPECT_EQ(set.find(*twin), f.get());
  }
  EXPECT_EQ(set.size(), 8u);
  FeatureRef outsider;
  for (int i = 0; !outsider; ++i) {
    FeatureRef f = root("m" + std::to_string(i));
    if (signature(*f) == signature(*first)) outsider = f;
  }
  EXPECT_FALSE(set.contains(*outsider));
}

TEST(Compare, FirstOccurrenceOrder) {
  std::vector<FeatureRef> a = {root("c"), root("a"), root("c"), root("b")};
  std::vector<FeatureRef> b = {root("b"), root("d")};
  MemoryReservation memory;
  auto [left, right] = compare_featuresets(a, b, memory);
  ASSERT_EQ(left.size(), 2u);
  EXPECT_EQ(left[0]->name(), "c");
  EXPECT_EQ(left[1]->name(), "a");
  ASSERT_EQ(right.size(), 1u);
  EXPECT_EQ(right[0]->name(), "d");
}

TEST(FeatureFile, SharedAncestorsAreWalkedOnce) {
  // A lattice whose every level doubles the number of paths to the roots: a walk that repeated
  // shared ancestry would take 2^40 steps.
  auto p = build_primitive("add", "m", "transform", true, {}, {"double", "numeric"});
  FeatureRef a = root("a"), b = root("b");
  for (int level = 0; level < 40; ++level) {
    const Feature* bases[] = {a.get(), b.get()};
    FeatureRef next_a = build_feature("x", std::nullopt, p.get(), bases);
    const Feature* bases_b[] = {b.get(), a.get(), a.get()};
    FeatureRef next_b = build_feature("y", std::nullopt, p.get(), bases_b);
    a = next_a;
    b = next_b;
  }
  std::vector<FeatureRef> top = {a, b};
  std::string json = feature_file_json(top);
  EXPECT_EQ(json.rfind("{\"features\":[", 0), 0u);
  EXPECT_NE(json.find("\"primitives\":[{\"name\":\"add\""), std::string::npos);
}

TEST(Fake, NamesAndCount) {
  MemoryReservation memory;
  auto fs = generate_fake_features(12, memory);
  ASSERT_EQ(fs.size(), 12u);
  EXPECT_EQ(fs[0]->name(), "idx");
  EXPECT_EQ(fs[11]->name(), "F_10");
  EXPECT_EQ(generate_fake_features(-7, memory).size(), 1u);
}

// The names are hashed in batches; ids past the first batches, on every kernel, are still the
// digests of the names.
TEST(Fake, IdsAreDigestsOfTheNamesOnEveryKernel) {
  const Sha256Kernel& chosen = sha256_kernel();
  for (const Sha256Kernel* kernel : sha256_kernels()) {
    if (!use_sha256_kernel(*kernel)) continue;
    MemoryReservation memory;
    auto fs = generate_fake_features(700, memory);
    ASSERT_EQ(fs.size(), 700u);
    EXPECT_EQ(fs[699]->name(), "F_698");
    for (const auto& f : fs) ASSERT_EQ(hex(f->id()), sha256_hex(f->name())) << f->name();
  }
  ASSERT_TRUE(use_sha256_kernel(chosen));
}

}  // namespace
}  // namespace tolvane
