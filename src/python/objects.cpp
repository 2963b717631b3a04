#include "python/objects.hpp"

#include <algorithm>
#include <string>
#include <vector>

#include "support/failure_texts.hpp"
#include "support/panic.hpp"

namespace tolvane::py {
bool Assigners::in_list(const PyThreadState* thread) const noexcept {
  const List* l = list();
  return l && std::find(l->begin(), l->end(), thread) != l->end();
}

void Assigners::add_to_list(PyThreadState* thread) {
  List* l = list();
  if (!l) {
    l = new List{reinterpret_cast<PyThreadState*>(threads())};
    word_ = reinterpret_cast<std::uintptr_t>(l) | kList | (word_ & kMark);
  }
  l->push_back(thread);
}

void Assigners::remove_from_list(const PyThreadState* thread) noexcept {
  List* l = list();
  l->erase(std::find(l->begin(), l->end(), thread));
  if (l->size() == 1) {
    word_ = reinterpret_cast<std::uintptr_t>(l->front()) | (word_ & kMark);
    delete l;
  }
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
    panic(std::string(kClassCreationFailed) + class_name);
  }
  return reinterpret_cast<PyTypeObject*>(type);
}

}  // namespace tolvane::py
