#include "python/objects.hpp"

#include <algorithm>
#include <string>
#include <vector>

#include "support/panic.hpp"

namespace tolvane::py {
namespace {

// The objects this thread is assigning to, innermost last. Kept here rather than as a list through
// the assignments' frames: coroutine libraries that switch C stacks (greenlets) move those frames
// away, and may end one coroutine's assignments while another's go on.
thread_local std::vector<PyObject*> assigning;

}  // namespace

Assignment::Assignment(PyObject* object, Py_ssize_t& writers) : object_(object), writers_(writers) {
  assigning.reserve(assigning.size() + 1);  // the only step that can fail, taken first
  {
    ObjectGuard guard(object);
    if (writers != 0 && assigning_here(object)) {
      raise(PyExc_RuntimeError, messages::kAlreadyBorrowed);
    }
    ++writers;
  }
  assigning.push_back(object);
}

Assignment::~Assignment() {
  assigning.erase(std::find(assigning.begin(), assigning.end(), object_));
  ObjectGuard guard(object_);
  --writers_;
}

bool assigning_here(PyObject* object) noexcept {
  return std::find(assigning.begin(), assigning.end(), object) != assigning.end();
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
