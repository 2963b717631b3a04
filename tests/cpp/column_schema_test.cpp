#include "column_schema.hpp"

#include <gtest/gtest.h>

#include <regex>

#include "captured_stderr.hpp"
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
  CapturedStderr diagnostics;
  try {
    schema_from_names("bogus", "worse");
    FAIL();
  } catch (const Panic& p) {
    EXPECT_EQ(p.message(), "bogus is not a valid logical type: ()");
  }
  // One line: where, on which thread, and the message.
  const std::regex line(
      "tolvane: internal failure on thread [0-9]+ \\(core_tests\\) at src/column_schema.cpp:"
      "[0-9]+:[0-9]+: bogus is not a valid logical type: \\(\\)\n");
  EXPECT_TRUE(std::regex_match(diagnostics.text(), line)) << diagnostics.text();
}

}  // namespace
}  // namespace tolvane
