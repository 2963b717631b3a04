#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>

namespace tolvane {

// The closed set of type values. Either half of a schema takes one of them. The order is fixed:
// it is the order of the names in the JSON reader's unknown-name message.
enum class LogicalType : std::uint8_t {
  Boolean,
  BooleanNullable,
  Address,
  Age,
  AgeFractional,
  Categorical,
  Datetime,
  Double,
  Integer,
  IntegerNullable,
  PostalCode,
  Ordinal,
  EmailAddress,
  LatLong,
  URL,
  NaturalLanguage,
  Timedelta,
  Numeric,
  TimeIndex,
  ForeignKey,
  DateOfBirth,
  Index,
  Any,
  Unknown,
};

// Unknown stays last: the count follows from it.
inline constexpr std::size_t kLogicalTypeCount = static_cast<std::size_t>(LogicalType::Unknown) + 1;

std::string_view canonical_name(LogicalType t);
// All canonical names, in ordinal order.
std::span<const std::string_view, kLogicalTypeCount> canonical_names();

// Case-insensitive lookup (full Unicode lower-casing, nothing else normalised).
std::optional<LogicalType> parse_logical_type(std::string_view text);

struct ColumnSchema {
  LogicalType logical_type = LogicalType::Unknown;
  LogicalType semantic_tag = LogicalType::Unknown;

  friend bool operator==(ColumnSchema, ColumnSchema) = default;
};

struct ColumnSchemaHash {
  std::size_t operator()(ColumnSchema s) const noexcept {
    return static_cast<std::size_t>(s.logical_type) * kLogicalTypeCount +
           static_cast<std::size_t>(s.semantic_tag);
  }
};

// Absent names give Unknown; a name that matches no type value is an internal failure
// "<name> is not a valid logical type: ()". The logical type is checked first.
ColumnSchema schema_from_names(std::optional<std::string_view> lt,
                               std::optional<std::string_view> st);

// "Integer:Numeric"
std::string schema_text(ColumnSchema s);
// "ColumnSchema { logical_type: Integer, semantic_tag: Numeric }"
void append_schema_debug(std::string& out, ColumnSchema s);

}  // namespace tolvane
