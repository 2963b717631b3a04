#include "column_schema.hpp"
#include "python/call.hpp"
#include "python/convert.hpp"
#include "python/objects.hpp"

namespace tolvane::py {
namespace {

constexpr const char* kParameters[] = {"lt", "st"};
constexpr Signature kNew = {"ColumnSchema.__new__()", kParameters, 0};

PyObject* column_schema_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
  return frame([&] {
    auto [lt, st] =
        BoundArgs(kNew, args, kwargs).convert(to_optional<to_text>, to_optional<to_text>);
    return new_object(type, schema_from_names(lt, st));
  });
}

PyObject* column_schema_str(PyObject* self) {
  return frame([&] { return new_text(schema_text(read_value<ColumnSchema>(self))); });
}

}  // namespace

PyTypeObject* column_schema_type() {
  static PyTypeObject* type =
      create_class<ColumnSchema>("ColumnSchema", column_schema_new, column_schema_str);
  return type;
}

}  // namespace tolvane::py
