#include "catalogue.hpp"

#include "support/json_writer.hpp"

namespace tolvane {

void append_schema_json(std::string& out, ColumnSchema s) {
  out += "{\"logical_type\":\"";
  out += canonical_name(s.logical_type);
  out += "\",\"semantic_tag\":\"";
  out += canonical_name(s.semantic_tag);
  out += "\"}";
}

void append_primitive_json(std::string& out, const Primitive& p) {
  out += "{\"name\":";
  append_json_string(out, p.name);
  out += ",\"id\":";
  append_json_string(out, p.id);
  out += ",\"module\":";
  append_json_string(out, p.module);
  out += ",\"column_schemas\":[";
  for (std::size_t i = 0; i < p.column_schemas.size(); ++i) {
    if (i) out += ',';
    out += '[';
    const auto& schemas = p.column_schemas[i].schemas;
    for (std::size_t j = 0; j < schemas.size(); ++j) {
      if (j) out += ',';
      append_schema_json(out, schemas[j]);
    }
    out += ']';
  }
  out += "],\"return_type\":";
  append_schema_json(out, p.return_type);
  out += ",\"function_type\":";
  append_json_string(out, p.function_type);
  out += ",\"commutative\":";
  out += p.commutative ? "true" : "false";
  out += '}';
}

}  // namespace tolvane
