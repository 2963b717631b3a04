#include "column_schema.hpp"

#include <algorithm>
#include <iterator>

#include "support/panic.hpp"
#include "support/text_forms.hpp"
#include "support/unicode.hpp"

namespace tolvane {
namespace {

// A plain array, so that a name missing here fails the build instead of leaving an empty one.
constexpr std::string_view kCanonical[] = {
    "Boolean",         "BooleanNullable", "Address",      "Age",       "AgeFractional",
    "Categorical",     "Datetime",        "Double",       "Integer",   "IntegerNullable",
    "PostalCode",      "Ordinal",         "EmailAddress", "LatLong",   "URL",
    "NaturalLanguage", "Timedelta",       "Numeric",      "TimeIndex", "ForeignKey",
    "DateOfBirth",     "Index",           "Any",          "Unknown",
};
static_assert(std::size(kCanonical) == kLogicalTypeCount &&
              kCanonical[kLogicalTypeCount - 1] == "Unknown");

// The names are ASCII letters, so their full lower case is the ASCII one, and the lookup compares
// with that.
constexpr bool is_ascii_letters(std::string_view name) {
  return std::all_of(name.begin(), name.end(),
                     [](char c) { return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z'); });
}
static_assert(std::all_of(std::begin(kCanonical), std::end(kCanonical), is_ascii_letters));

constexpr char ascii_lower(char c) {
  return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
}

bool equals_ascii_lowered(std::string_view lower, std::string_view name) {
  return std::equal(lower.begin(), lower.end(), name.begin(), name.end(),
                    [](char l, char n) { return l == ascii_lower(n); });
}

LogicalType lookup_or_fail(std::optional<std::string_view> name) {
  if (!name) return LogicalType::Unknown;
  if (auto t = parse_logical_type(*name)) return *t;
  panic(std::string(*name) + std::string(kNotALogicalType));
}

}  // namespace

std::string_view canonical_name(LogicalType t) { return kCanonical[static_cast<std::size_t>(t)]; }

std::span<const std::string_view, kLogicalTypeCount> canonical_names() { return kCanonical; }

std::optional<LogicalType> parse_logical_type(std::string_view text) {
  const std::string lower = to_lower_full(text);
  for (std::size_t i = 0; i < kLogicalTypeCount; ++i) {
    if (equals_ascii_lowered(lower, kCanonical[i])) return static_cast<LogicalType>(i);
  }
  return std::nullopt;
}

ColumnSchema schema_from_names(std::optional<std::string_view> lt,
                               std::optional<std::string_view> st) {
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
  RecordWriter record(out, kStructuredText, "ColumnSchema");
  record.field("logical_type") += canonical_name(s.logical_type);
  record.field("semantic_tag") += canonical_name(s.semantic_tag);
  record.end();
}

}  // namespace tolvane
