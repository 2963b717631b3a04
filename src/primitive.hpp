#pragma once

#include <cstddef>
#include <string>
#include <vector>

#include "column_schema.hpp"
#include "input_set.hpp"
#include "memory/shared_ref.hpp"

namespace tolvane {

// The description of one feature-generating operation. Immutable once built and shared by
// reference (see SharedRef); "changing" a field means building a new record.
struct Primitive : RefCounted {
  std::string name;
  std::string id;
  std::string module;
  std::vector<InputSet> column_schemas;
  ColumnSchema return_type;
  std::string function_type;
  bool commutative = false;

  static void destroy(const Primitive* p) { delete p; }
};

using PrimitiveRef = SharedRef<Primitive>;

// Equality over all seven fields; hashing consistent with it.
bool operator==(const Primitive& a, const Primitive& b);
struct PrimitiveHash {
  std::size_t operator()(const Primitive& p) const noexcept;
};

// Builds a primitive whose id is the SHA-256 of its name. Input sets are built first, in order,
// then the return schema: the first bad name fails the build.
PrimitiveRef build_primitive(std::string name, std::string module, std::string function_type,
                             bool commutative,
                             const std::vector<std::vector<NamePair>>& column_schemas,
                             const NamePair& return_type);

// Takes the fields as they are (the catalogue reader keeps the id written in the file).
PrimitiveRef make_primitive(Primitive fields);

// A copy of `p` with another name; the id and every other field stay.
PrimitiveRef with_name(const Primitive& p, std::string name);

// "name:module:function_type:true:[InputSet([...]), ...]"
std::string primitive_text(const Primitive& p);
// "Primitive { name: \"...\", id: \"...\", ... }"
void append_primitive_debug(std::string& out, const Primitive& p);

}  // namespace tolvane
