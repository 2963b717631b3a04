#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "column_schema.hpp"
#include "primitive.hpp"
#include "support/interrupt.hpp"

namespace tolvane {

// JSON forms, written compactly: a type value as its canonical name, a schema as
// {"logical_type":..,"semantic_tag":..}, a primitive as its seven members in declaration order.
void append_schema_json(std::string& out, ColumnSchema s);
void append_primitive_json(std::string& out, const Primitive& p);

// A catalogue is a JSON array of primitives, each an object (`type` standing for `name`) or an
// array of the seven fields; type values are canonical names, case-sensitive. Ids are kept as
// written. Throws JsonError on any syntax or shape error.
std::vector<PrimitiveRef> parse_primitive_catalogue(std::string_view text);

// Reads and parses a catalogue file. Every failure is a Panic: "Something went wrong reading the
// file: ..." when the file cannot be read or is not UTF-8, the JSON error otherwise. `stop` is
// asked while the read waits or goes on (read_whole_file).
std::vector<PrimitiveRef> read_primitive_catalogue(const std::string& path, const StopProbe& stop);

}  // namespace tolvane
