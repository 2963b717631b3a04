#include "column_schema.hpp"
#include "python/call.hpp"
#include "python/convert.hpp"
#include "python/objects.hpp"

namespace tolvane::py {
namespace {

constexpr const char* kParameters[] = {"lt", "st"};
constexpr Signature kNew = {"ColumnSchema.__new__()", kParameters, 2, 0};

PyObject* column_schema_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
  return frame([&] {
    BoundArgs a = bind(kNew, args, kwargs);
    auto lt = convert_argument("lt", [&] { return to_optional_text(a[0]); });
    auto st = convert_argument("st", [&] { return to_optional_text(a[1]); });
    return new_object(type, schema_from_names(lt, st));
  });
}

PyObject* column_schema_str(PyObject* self) {
  return frame([&] { return new_text(schema_text(read_value<ColumnSchema>(self))); });
}

}  // namespace

PyTypeObject* column_schema_type() {
  static PyTypeObject* type = [] {
    static PyType_Slot slots[] = {
        {Py_tp_new, reinterpret_cast<void*>(column_schema_new)},
        {Py_tp_dealloc, reinterpret_cast<void*>(dealloc_object<ColumnSchema>)},
        {Py_tp_str, reinterpret_cast<void*>(column_schema_str)},
        {Py_tp_repr, reinterpret_cast<void*>(column_schema_str)},
        {0, nullptr},
    };
    return create_class("ColumnSchema", sizeof(ColumnSchemaObject), slots);
  }();
  return type;
}

}  // namespace tolvane::py
