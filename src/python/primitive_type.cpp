#include "primitive.hpp"
#include "python/call.hpp"
#include "python/convert.hpp"
#include "python/objects.hpp"

namespace tolvane::py {
namespace {

constexpr const char* kParameters[] = {"name",       "module",         "function_type",
                                       "commutative", "column_schemas", "return_type"};
constexpr Signature kNew = {"Primitive.__new__()", kParameters, 6, 6};

PyObject* primitive_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
  return frame([&] {
    BoundArgs a = bind(kNew, args, kwargs);
    auto name = convert_argument("name", [&] { return to_text(a[0]); });
    auto module = convert_argument("module", [&] { return to_text(a[1]); });
    auto function_type = convert_argument("function_type", [&] { return to_text(a[2]); });
    bool commutative = convert_argument("commutative", [&] { return to_bool(a[3]); });
    auto column_schemas = convert_argument("column_schemas", [&] { return to_name_pair_lists(a[4]); });
    auto return_type = convert_argument("return_type", [&] { return to_name_pair(a[5]); });
    return new_object(type, build_primitive(std::move(name), std::move(module),
                                            std::move(function_type), commutative, column_schemas,
                                            return_type));
  });
}

PyObject* primitive_str(PyObject* self) {
  return frame([&] { return new_text(primitive_text(*read_value<PrimitiveRef>(self))); });
}

PyObject* get_name(PyObject* self, void*) {
  return frame([&] { return new_text(read_value<PrimitiveRef>(self)->name); });
}

int set_name(PyObject* self, PyObject* value, void*) {
  return setter_frame([&] {
    auto* obj = as_object<PrimitiveRef>(self);
    ExclusiveBorrow borrow(obj->borrow);
    if (!value) raise(PyExc_AttributeError, "can't delete attribute");
    obj->value = with_name(*obj->value, to_text(value));
  });
}

}  // namespace

PyTypeObject* primitive_type() {
  static PyTypeObject* type = [] {
    static PyGetSetDef getset[] = {
        {"name", get_name, set_name, nullptr, nullptr},
        {nullptr, nullptr, nullptr, nullptr, nullptr},
    };
    static PyType_Slot slots[] = {
        {Py_tp_new, reinterpret_cast<void*>(primitive_new)},
        {Py_tp_dealloc, reinterpret_cast<void*>(dealloc_object<PrimitiveRef>)},
        {Py_tp_str, reinterpret_cast<void*>(primitive_str)},
        {Py_tp_repr, reinterpret_cast<void*>(primitive_str)},
        {Py_tp_getset, getset},
        {0, nullptr},
    };
    return create_class("Primitive", sizeof(PrimitiveObject), slots);
  }();
  return type;
}

}  // namespace tolvane::py
