#pragma once

#include <string>

#include "column_schema.hpp"
#include "primitive.hpp"

namespace tolvane {

// JSON forms, written compactly: a type value as its canonical name, a schema as
// {"logical_type":..,"semantic_tag":..}, a primitive as its seven members in declaration order.
void append_schema_json(std::string& out, ColumnSchema s);
void append_primitive_json(std::string& out, const Primitive& p);

}  // namespace tolvane
