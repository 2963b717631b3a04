#include <iterator>

#include "python/call.hpp"
#include "python/feature_memory.hpp"
#include "python/functions.hpp"
#include "python/objects.hpp"
#include "support/failure_texts.hpp"
#include "support/panic.hpp"

namespace tolvane::py {
namespace {

PyModuleDef module_definition = {
    PyModuleDef_HEAD_INIT,
    "tolvane",
    "Native Python module: deep feature synthesis over typed feature descriptions.",
    0,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
};

void append_to_all(PyObject* module, PyObject* name) {
  Ref all = Ref::steal(PyObject_GetAttrString(module, "__all__"));
  if (!all) {
    PyErr_Clear();
    all = Ref::checked(PyList_New(0));
    check_status(PyObject_SetAttrString(module, "__all__", all.get()));
  }
  if (!PyList_Check(all.get()) || PyList_Append(all.get(), name) < 0) {
    PyErr_Clear();
    panic(std::string(kAllNotAppendable));
  }
}

void add_function(PyObject* module, PyObject* module_name, PyMethodDef* definition) {
  Ref function = Ref::checked(PyCMethod_New(definition, module, module_name, nullptr));
  Ref name = Ref::checked(PyObject_GetAttrString(function.get(), "__name__"));
  append_to_all(module, name.get());
  check_status(PyObject_SetAttr(module, name.get(), function.get()));
}

void add_class(PyObject* module, PyTypeObject* type) {
  Ref name = Ref::checked(PyType_GetName(type));
  append_to_all(module, name.get());
  check_status(PyObject_SetAttr(module, name.get(), reinterpret_cast<PyObject*>(type)));
}

}  // namespace
}  // namespace tolvane::py

PyMODINIT_FUNC PyInit_tolvane() {
  using namespace tolvane::py;
  return frame([] {
    Ref module = Ref::checked(PyModule_Create(&module_definition));
#ifdef Py_GIL_DISABLED
    // The module keeps its single-phase definition, which has no slots: a free-threaded
    // interpreter needs nothing more of it than this declaration (objects.hpp says how its
    // objects are guarded instead).
    check_status(PyUnstable_Module_SetGIL(module.get(), Py_MOD_GIL_NOT_USED));
#endif
    // Where records live, before any is made.
    install_feature_memory();
    Ref module_name = Ref::checked(PyUnicode_FromString("tolvane"));
    for (PyMethodDef* definition : module_functions()) {
      add_function(module.get(), module_name.get(), definition);
    }
    add_class(module.get(), feature_type());
    add_class(module.get(), primitive_type());
    add_class(module.get(), column_schema_type());
    add_class(module.get(), input_set_type());
    // Made while importing, before other threads can call in: a thread waiting for another to make
    // it at a first failure would wait attached to the interpreter, which may be waiting for it.
    panic_exception_type();
    return module;
  });
}
