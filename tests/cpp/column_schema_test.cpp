#include "column_schema.hpp"

#include <gtest/gtest.h>

#include "support/panic.hpp"

namespace tolvane {
namespace {

TEST(LogicalType, LookupIsCaseInsensitiveButExact) {
  EXPECT_EQ(parse_logical_type("iNtEgEr"), LogicalType::Integer);
  EXPECT_EQ(parse_logical_type("foreign\xE2\x84\xAA"
                               "ey"),
            LogicalType::ForeignKey);                           // KELVIN SIGN
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

}  // namespace
}  // namespace tolvane
