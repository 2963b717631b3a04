#include "primitive.hpp"

#include <gtest/gtest.h>

#include "hash/sha256.hpp"

namespace tolvane {
namespace {

TEST(Primitive, EqualityCoversEveryFieldAndHashAgrees) {
  auto base = build_primitive("p", "m", "transform", true, {{{"double", "numeric"}}},
                              {"double", std::nullopt});
  EXPECT_EQ(base->id, sha256_hex("p"));
  // A copy, compared with what it was copied from.
  Primitive same = *base;  // NOLINT(performance-unnecessary-copy-initialization)
  EXPECT_TRUE(same == *base);
  EXPECT_EQ(PrimitiveHash{}(same), PrimitiveHash{}(*base));
  std::vector<Primitive> variants(7, *base);
  variants[0].name = "q";
  variants[1].id = "x";
  variants[2].module = "n";
  variants[3].column_schemas[0].schemas.push_back({});
  variants[4].return_type.semantic_tag = LogicalType::Any;
  variants[5].function_type = "agg";
  variants[6].commutative = false;
  for (const auto& v : variants) EXPECT_FALSE(v == *base);
  auto renamed = with_name(*base, "other");
  EXPECT_EQ(renamed->name, "other");
  EXPECT_EQ(renamed->id, base->id);
}

}  // namespace
}  // namespace tolvane
