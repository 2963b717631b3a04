#include <gtest/gtest.h>

#include "column_schema.hpp"
#include "primitive.hpp"
#include "support/debug_text.hpp"
#include "support/panic.hpp"
#include "support/sha256.hpp"

namespace tolvane {
namespace {

TEST(LogicalType, LookupIsCaseInsensitiveButExact) {
  EXPECT_EQ(parse_logical_type("iNtEgEr"), LogicalType::Integer);
  EXPECT_EQ(parse_logical_type("foreign\xE2\x84\xAA" "ey"), LogicalType::ForeignKey);  // KELVIN SIGN
  EXPECT_EQ(parse_logical_type("\xC4\xB0ndex"), std::nullopt);  // U+0130 lower-cases to two chars
  EXPECT_EQ(parse_logical_type("integer "), std::nullopt);
  for (std::size_t i = 0; i < kLogicalTypeCount; ++i) {
    auto t = static_cast<LogicalType>(i);
    EXPECT_EQ(canonical_names()[i], canonical_name(t));
    EXPECT_EQ(parse_logical_type(canonical_name(t)), t);
  }
}

TEST(Schema, NamesAndFailures) {
  EXPECT_EQ(schema_text(schema_from_names(std::nullopt, "numeric")), "Unknown:Numeric");
  try {
    schema_from_names("bogus", "worse");
    FAIL();
  } catch (const Panic& p) {
    EXPECT_EQ(p.message(), "bogus is not a valid logical type: ()");
  }
}

TEST(DebugText, QuotesAndEscapes) {
  std::string out;
  append_quoted(out, std::string("a\"\\\t\r\n\0'", 8));
  EXPECT_EQ(out, R"("a\"\\\t\r\n\0'")");
  out.clear();
  // combining acute, zero-width space (Cf), no-break space (Zs), private use, emoji, skin tone
  append_quoted(out, "e\xCC\x81|\xE2\x80\x8B|\xC2\xA0|\xEE\x80\x80|\xF0\x9F\x98\x80|\xF0\x9F\x8F\xBB| ");
  EXPECT_EQ(out, "\"e\\u{301}|\\u{200b}|\\u{a0}|\\u{e000}|\xF0\x9F\x98\x80|\xF0\x9F\x8F\xBB| \"");
}

TEST(Primitive, EqualityCoversEveryFieldAndHashAgrees) {
  auto base = build_primitive("p", "m", "transform", true, {{{"double", "numeric"}}}, {"double", std::nullopt});
  EXPECT_EQ(base->id, sha256_hex("p"));
  Primitive same = *base;
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
