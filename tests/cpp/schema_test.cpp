#include <gtest/gtest.h>

#include "column_schema.hpp"

namespace tolvane {
TEST(Schema, Placeholder) { EXPECT_EQ(schema_text({}), "Unknown:Unknown"); }
}  // namespace tolvane
