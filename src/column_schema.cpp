#include "column_schema.hpp"

#include "support/panic.hpp"
#include "support/unicode.hpp"

namespace tolvane {
namespace {

constexpr std::array<std::string_view, kLogicalTypeCount> kCanonical = {
    "Boolean",     "BooleanNullable", "Address",    "Age",          "AgeFractional",
    "Categorical", "Datetime",        "Double",     "Integer",      "IntegerNullable",
    "PostalCode",  "Ordinal",         "EmailAddress", "LatLong",    "URL",
    "NaturalLanguage", "Timedelta",   "Numeric",    "TimeIndex",    "ForeignKey",
    "DateOfBirth", "Index",           "Any",        "Unknown",
};

constexpr std::array<std::string_view, kLogicalTypeCount> kLookup = {
    "boolean",     "booleannullable", "address",    "age",          "agefractional",
    "categorical", "datetime",        "double",     "integer",      "integernullable",
    "postalcode",  "ordinal",         "emailaddress", "latlong",    "url",
    "naturallanguage", "timedelta",   "numeric",    "timeindex",    "foreignkey",
    "dateofbirth", "index",           "any",        "unknown",
};

LogicalType lookup_or_fail(std::optional<std::string_view> name) {
  if (!name) return LogicalType::Unknown;
  if (auto t = parse_logical_type(*name)) return *t;
  panic(std::string(*name) + " is not a valid logical type: ()");
}

}  // namespace

std::string_view canonical_name(LogicalType t) { return kCanonical[static_cast<std::size_t>(t)]; }

std::span<const std::string_view, kLogicalTypeCount> canonical_names() { return kCanonical; }

std::optional<LogicalType> parse_logical_type(std::string_view text) {
  const std::string lower = to_lower_full(text);
  for (std::size_t i = 0; i < kLookup.size(); ++i) {
    if (kLookup[i] == lower) return static_cast<LogicalType>(i);
  }
  return std::nullopt;
}

ColumnSchema schema_from_names(std::optional<std::string_view> lt, std::optional<std::string_view> st) {
  LogicalType logical = lookup_or_fail(lt);
  return {logical, lookup_or_fail(st)};
}

std::string schema_text(ColumnSchema s) {
  std::string out(canonical_name(s.logical_type));
  out += ':';
  out += canonical_name(s.semantic_tag);
  return out;
}

void append_schema_debug(std::string& out, ColumnSchema s) {
  out += "ColumnSchema { logical_type: ";
  out += canonical_name(s.logical_type);
  out += ", semantic_tag: ";
  out += canonical_name(s.semantic_tag);
  out += " }";
}

}  // namespace tolvane
