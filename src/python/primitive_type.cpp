#include "primitive.hpp"
#include "python/call.hpp"
#include "python/convert.hpp"
#include "python/objects.hpp"

namespace tolvane::py {
namespace {

constexpr const char* kParameters[] = {"name",        "module",         "function_type",
                                       "commutative", "column_schemas", "return_type"};
constexpr Signature kNew = {"Primitive.__new__()", kParameters, 6};

PyObject* primitive_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
  return frame([&] {
    auto [name, module, function_type, commutative, column_schemas, return_type] =
        BoundArgs(kNew, args, kwargs)
            .convert(to_text, to_text, to_text, to_bool, to_name_pair_lists, to_name_pair);
    return new_object(type,
                      build_primitive(std::move(name), std::move(module), std::move(function_type),
                                      commutative, column_schemas, return_type));
  });
}

PyObject* primitive_str(PyObject* self) {
  return frame([&] { return new_text(primitive_text(*read_value<PrimitiveRef>(self))); });
}

PyObject* get_name(PyObject* self, void*) {
  return frame([&] { return new_text(read_value<PrimitiveRef>(self)->name); });
}

int set_name(PyObject* self, PyObject* value, void*) {
  return replace_record<PrimitiveRef>(
      self, value, to_text,
      [](const Primitive& p, const std::string& name) { return with_name(p, name); });
}

PyGetSetDef getset[] = {
    {"name", get_name, set_name, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot slots[] = {{Py_tp_getset, getset}};

}  // namespace

PyTypeObject* primitive_type() {
  static PyTypeObject* type =
      create_class<PrimitiveRef>("Primitive", primitive_new, primitive_str, slots);
  return type;
}

}  // namespace tolvane::py
