#include "python/objects.hpp"

#include <string>

#include "support/panic.hpp"

namespace tolvane::py {
namespace {

// The innermost assignment in progress on this thread.
thread_local const Assignment* innermost_assignment = nullptr;

}  // namespace

Assignment::Assignment(PyObject* object, std::int32_t& writers)
    : object_(object), writers_(writers), outer_(innermost_assignment) {
  {
    ObjectGuard guard(object);
    if (writers != 0 && assigning_here(object)) {
      raise(PyExc_RuntimeError, messages::kAlreadyBorrowed);
    }
    ++writers;
  }
  innermost_assignment = this;
}

Assignment::~Assignment() {
  innermost_assignment = outer_;
  ObjectGuard guard(object_);
  --writers_;
}

bool assigning_here(PyObject* object) noexcept {
  for (const Assignment* a = innermost_assignment; a; a = a->outer_) {
    if (a->object_ == object) return true;
  }
  return false;
}

PyTypeObject* create_class_from_slots(const char* class_name, int basic_size, PyType_Slot* slots) {
  // Qualified as builtins.<Class>; no base-type flag (not subclassable), no GC (instances hold
  // no Python references), no __dict__ and no weak references. Immutable, as the interpreter's
  // own types are: the class is shared by the whole process, so assigning one of its attributes
  // would change every caller's. The interpreter copies the name and the slots.
  std::string qualified = std::string("builtins.") + class_name;
  PyType_Spec spec = {qualified.c_str(), basic_size, 0,
                      Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE, slots};
  PyObject* type = PyType_FromSpec(&spec);
  if (!type) {
    PyErr_Clear();
    panic(messages::kClassCreationFailed + std::string(class_name));
  }
  return reinterpret_cast<PyTypeObject*>(type);
}

}  // namespace tolvane::py
