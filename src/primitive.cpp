#include "primitive.hpp"

#include <functional>

#include "hash/sha256.hpp"
#include "support/debug_text.hpp"
#include "support/text_forms.hpp"

namespace tolvane {
namespace {

void append_input_sets(std::string& out, const std::vector<InputSet>& sets) {
  append_list(out, sets, ", ", append_input_set_debug);
}

void mix(std::size_t& seed, std::size_t value) {
  seed ^= value + 0x9e3779b97f4a7c15ULL + (seed << 6) + (seed >> 2);
}

}  // namespace

bool operator==(const Primitive& a, const Primitive& b) {
  return a.name == b.name && a.id == b.id && a.module == b.module &&
         a.column_schemas == b.column_schemas && a.return_type == b.return_type &&
         a.function_type == b.function_type && a.commutative == b.commutative;
}

std::size_t PrimitiveHash::operator()(const Primitive& p) const noexcept {
  std::hash<std::string> text;
  std::size_t seed = text(p.name);
  mix(seed, text(p.id));
  mix(seed, text(p.module));
  for (const auto& set : p.column_schemas) {
    mix(seed, set.schemas.size());
    for (auto s : set.schemas) mix(seed, ColumnSchemaHash{}(s));
  }
  mix(seed, ColumnSchemaHash{}(p.return_type));
  mix(seed, text(p.function_type));
  mix(seed, p.commutative);
  return seed;
}

PrimitiveRef make_primitive(Primitive fields) {
  return PrimitiveRef::adopt(new Primitive(std::move(fields)));
}

PrimitiveRef build_primitive(std::string name, std::string module, std::string function_type,
                             bool commutative,
                             const std::vector<std::vector<NamePair>>& column_schemas,
                             const NamePair& return_type) {
  Primitive p;
  p.column_schemas.reserve(column_schemas.size());
  for (const auto& pairs : column_schemas) p.column_schemas.push_back(build_input_set(pairs));
  p.return_type = schema_from_names(return_type.first, return_type.second);
  p.id = sha256_hex(name);
  p.name = std::move(name);
  p.module = std::move(module);
  p.function_type = std::move(function_type);
  p.commutative = commutative;
  return make_primitive(std::move(p));
}

PrimitiveRef with_name(const Primitive& p, std::string name) {
  Primitive copy = p;
  copy.name = std::move(name);
  return make_primitive(std::move(copy));
}

std::string primitive_text(const Primitive& p) {
  std::string out = p.name;
  out += ':';
  out += p.module;
  out += ':';
  out += p.function_type;
  out += p.commutative ? ":true:" : ":false:";
  append_input_sets(out, p.column_schemas);
  return out;
}

void append_primitive_debug(std::string& out, const Primitive& p) {
  RecordWriter record(out, kStructuredText, "Primitive");
  append_quoted(record.field("name"), p.name);
  append_quoted(record.field("id"), p.id);
  append_quoted(record.field("module"), p.module);
  append_input_sets(record.field("column_schemas"), p.column_schemas);
  append_schema_debug(record.field("return_type"), p.return_type);
  append_quoted(record.field("function_type"), p.function_type);
  record.field("commutative") += p.commutative ? "true" : "false";
  record.end();
}

}  // namespace tolvane
