#pragma once

#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "column_schema.hpp"

namespace tolvane {

// A schema as callers name it: logical type text and semantic tag text, each possibly absent.
using NamePair = std::pair<std::optional<std::string>, std::optional<std::string>>;

// One admissible input signature of a primitive: a schema per input slot, in slot order.
struct InputSet {
  std::vector<ColumnSchema> schemas;

  friend bool operator==(const InputSet&, const InputSet&) = default;
};

// One schema per name pair, in order; the first name that matches no type value fails the build.
InputSet build_input_set(const std::vector<NamePair>& pairs);

// "[ColumnSchema { ... }, ...]"
void append_schema_list(std::string& out, const InputSet& set);
// "InputSet([ColumnSchema { ... }, ...])"
void append_input_set_debug(std::string& out, const InputSet& set);

}  // namespace tolvane
