#include "column_schema.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <string_view>

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
  const std::string text = diagnostics.text();
  EXPECT_EQ(text.rfind("tolvane: internal failure on thread ", 0), 0u) << text;
  EXPECT_NE(text.find(" (core_tests) at src/column_schema.cpp:"), std::string::npos) << text;
  const std::string_view end = ": bogus is not a valid logical type: ()\n";
  EXPECT_TRUE(text.ends_with(end)) << text;
  EXPECT_EQ(std::count(text.begin(), text.end(), '\n'), 1) << text;
}

}  // namespace
}  // namespace tolvane
