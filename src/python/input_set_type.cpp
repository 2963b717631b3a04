#include "input_set.hpp"
#include "python/call.hpp"
#include "python/convert.hpp"
#include "python/objects.hpp"

namespace tolvane::py {
namespace {

constexpr const char* kParameters[] = {"inputs"};
constexpr Signature kNew = {"InputSet.__new__()", kParameters, 1, 1};

PyObject* input_set_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
  return frame([&] {
    BoundArgs a = bind(kNew, args, kwargs);
    auto pairs = convert_argument("inputs", [&] { return to_name_pairs(a[0]); });
    return new_object(type, build_input_set(pairs));
  });
}

PyObject* input_set_str(PyObject* self) {
  return frame([&] {
    auto* obj = as_object<InputSet>(self);
    SharedBorrow borrow(obj->borrow);
    std::string text;
    append_schema_list(text, obj->value);
    return new_text(text);
  });
}

}  // namespace

PyTypeObject* input_set_type() {
  static PyTypeObject* type = [] {
    static PyType_Slot slots[] = {
        {Py_tp_new, reinterpret_cast<void*>(input_set_new)},
        {Py_tp_dealloc, reinterpret_cast<void*>(dealloc_object<InputSet>)},
        {Py_tp_str, reinterpret_cast<void*>(input_set_str)},
        {Py_tp_repr, reinterpret_cast<void*>(input_set_str)},
        {0, nullptr},
    };
    return create_class("InputSet", sizeof(InputSetObject), slots);
  }();
  return type;
}

}  // namespace tolvane::py
