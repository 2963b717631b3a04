#pragma once

#include <algorithm>
#include <cstdint>
#include <new>
#include <span>
#include <type_traits>
#include <utility>
#include <vector>

#include "column_schema.hpp"
#include "feature/feature.hpp"
#include "input_set.hpp"
#include "primitive.hpp"
#include "python/call.hpp"
#include "python/messages.hpp"
#include "python/ref.hpp"

namespace tolvane::py {

// The threads assigning to one object at the moment: none, one (its thread state) or several (a
// list, marked by the low bit), and a mark of the object's own in bit 1 (see Object). One word,
// zero when the object is made, read and changed only under the object's guard. Thread states, not
// thread-local storage: coroutines that switch C stacks (greenlets) share their thread's state, and
// reaching thread-local storage from a shared library costs more than the rest of the bookkeeping.
class Assigners {
 public:
  bool include(const PyThreadState* thread) const noexcept {
    const std::uintptr_t w = threads();
    return w != 0 && (w == reinterpret_cast<std::uintptr_t>(thread) || in_list(thread));
  }
  bool any() const noexcept { return threads() != 0; }
  // Throws std::bad_alloc, leaving the set as it was.
  void add(PyThreadState* thread) {
    if (threads() == 0) {
      word_ |= reinterpret_cast<std::uintptr_t>(thread);
    } else {
      add_to_list(thread);
    }
  }
  void remove(const PyThreadState* thread) noexcept {
    if (word_ & kList) {
      remove_from_list(thread);
    } else {
      word_ &= kMark;
    }
  }

  bool marked() const noexcept { return word_ & kMark; }
  void mark() noexcept { word_ |= kMark; }

 private:
  // Thread states and lists are allocated, so aligned: their two low bits are free.
  static constexpr std::uintptr_t kList = 1;
  static constexpr std::uintptr_t kMark = 2;
  using List = std::vector<PyThreadState*>;
  std::uintptr_t threads() const noexcept { return word_ & ~kMark; }
  List* list() const noexcept {
    return word_ & kList ? reinterpret_cast<List*>(word_ & ~(kList | kMark)) : nullptr;
  }
  bool in_list(const PyThreadState* thread) const noexcept;
  void add_to_list(PyThreadState* thread);
  void remove_from_list(const PyThreadState* thread) noexcept;

  std::uintptr_t word_;
};

// Instance layout of the four classes: the object header, the threads assigning to the object
// (see Assignment) and the value record, which is read and replaced only under the object's guard.
// The mark of a Feature object tells that it was made together with its first record, in one
// allocation (see feature_type.cpp); it never changes.
template <class Value>
struct Object {
  PyObject ob_base;
  Assigners assigners;
  Value value;
};

using FeatureObject = Object<FeatureRef>;
using PrimitiveObject = Object<PrimitiveRef>;
using ColumnSchemaObject = Object<ColumnSchema>;
using InputSetObject = Object<InputSet>;

// Type objects, created on first need and kept for the life of the process.
PyTypeObject* feature_type();
PyTypeObject* primitive_type();
PyTypeObject* column_schema_type();
PyTypeObject* input_set_type();

template <class Value>
Object<Value>* as_object(PyObject* o) noexcept {
  return reinterpret_cast<Object<Value>*>(o);
}

// The guard of one object's fields, or of two objects' at once. Without the interpreter lock it is
// the objects' critical section: a per-object lock that the interpreter suspends while its thread
// blocks, so it is held only around copies and swaps that run no Python code. Under the
// interpreter lock, which guards every object already, it is nothing.
#ifdef Py_GIL_DISABLED
class ObjectGuard {
 public:
  explicit ObjectGuard(PyObject* o) noexcept { PyCriticalSection_Begin(&section_, o); }
  ~ObjectGuard() { PyCriticalSection_End(&section_); }
  ObjectGuard(const ObjectGuard&) = delete;
  ObjectGuard& operator=(const ObjectGuard&) = delete;

 private:
  PyCriticalSection section_;
};

class PairGuard {
 public:
  PairGuard(PyObject* a, PyObject* b) noexcept { PyCriticalSection2_Begin(&section_, a, b); }
  ~PairGuard() { PyCriticalSection2_End(&section_); }
  PairGuard(const PairGuard&) = delete;
  PairGuard& operator=(const PairGuard&) = delete;

 private:
  PyCriticalSection2 section_;
};
#else
struct ObjectGuard {
  explicit ObjectGuard(PyObject*) noexcept {}
};
struct PairGuard {
  PairGuard(PyObject*, PyObject*) noexcept {}
};
#endif

// An assignment to an object, from its start until the new value is stored or refused. Python
// code that the conversion of the new value runs may reach the object again on the same thread:
// assigning to it is then refused ("Already borrowed") and reading it too ("Already mutably
// borrowed"), as the record is about to be replaced. Other threads go on reading the record
// stored, and assign in turn: each assignment replaces the record stored when it ends.
class Assignment {
 public:
  template <class Value>
  explicit Assignment(Object<Value>* obj)
      : object_(&obj->ob_base), assigners_(obj->assigners), thread_(PyThreadState_Get()) {
    ObjectGuard guard(object_);
    if (assigners_.include(thread_)) raise(PyExc_RuntimeError, messages::kAlreadyBorrowed);
    assigners_.add(thread_);
  }
  ~Assignment() {
    ObjectGuard guard(object_);
    assigners_.remove(thread_);
  }
  Assignment(const Assignment&) = delete;
  Assignment& operator=(const Assignment&) = delete;

 private:
  PyObject* object_;
  Assigners& assigners_;
  PyThreadState* thread_;
};

// True when this thread is assigning to `obj`. Under its guard.
template <class Value>
bool being_assigned_here(const Object<Value>* obj) noexcept {
  return obj->assigners.any() && obj->assigners.include(PyThreadState_Get());
}

// Fails with "Already mutably borrowed" when this thread is assigning to `obj`. Under its guard.
template <class Value>
void check_readable(const Object<Value>* obj) {
  if (being_assigned_here(obj)) raise(PyExc_RuntimeError, messages::kAlreadyMutablyBorrowed);
}

// `use(record)` with the record held by `o`, which must be of the record's class, guarded.
template <class Value, class Use>
decltype(auto) use_value(PyObject* o, Use&& use) {
  auto* obj = as_object<Value>(o);
  ObjectGuard guard(o);
  check_readable(obj);
  return use(std::as_const(obj->value));
}

// A copy of the record held by `o`, which must be of the record's class.
template <class Value>
Value read_value(PyObject* o) {
  return use_value<Value>(o, [](const Value& v) { return v; });
}

// A new object of `type` owning `value`.
template <class Value>
Ref new_object(PyTypeObject* type, Value value) {
  // Once allocated, the object is freed through its class, which destroys the value: a move that
  // failed would leave it a value never made.
  static_assert(std::is_nothrow_move_constructible_v<Value>);
  Ref o = Ref::checked(type->tp_alloc(type, 0));
  auto* obj = as_object<Value>(o.get());
  obj->assigners = {};
  new (&obj->value) Value(std::move(value));
  return o;
}

// The setter of a record's attribute: `convert(value)` is the new value, and the record stored
// when it is ready is replaced by `replace(record, new value)`.
template <class Value, class Convert, class Replace>
int replace_record(PyObject* self, PyObject* value, Convert&& convert, Replace&& replace) {
  return setter_frame([&] {
    auto* obj = as_object<Value>(self);
    Assignment assignment(obj);
    if (!value) raise(PyExc_AttributeError, messages::kCannotDeleteAttribute);
    auto converted = convert(value);
    ObjectGuard guard(self);
    obj->value = replace(*obj->value, converted);
  });
}

// tp_dealloc of every class that sets none of its own.
template <class Value>
void dealloc_object(PyObject* o) noexcept {
  PyTypeObject* type = Py_TYPE(o);
  as_object<Value>(o)->value.~Value();
  type->tp_free(o);
  Py_DECREF(type);
}

// Creates a class from its slots; failure is the internal failure naming the class.
PyTypeObject* create_class_from_slots(const char* class_name, int basic_size, PyType_Slot* slots);

// A class whose objects hold a `Value`: made by `construct`, shown by `text` (both str() and
// repr()), with `extra` slots besides (which may replace the dealloc).
template <class Value>
PyTypeObject* create_class(const char* class_name, newfunc construct, reprfunc text,
                           std::span<const PyType_Slot> extra = {}) {
  std::vector<PyType_Slot> slots = {
      {Py_tp_new, reinterpret_cast<void*>(construct)},
      {Py_tp_str, reinterpret_cast<void*>(text)},
      {Py_tp_repr, reinterpret_cast<void*>(text)},
  };
  slots.insert(slots.end(), extra.begin(), extra.end());
  if (std::none_of(extra.begin(), extra.end(),
                   [](const PyType_Slot& s) { return s.slot == Py_tp_dealloc; })) {
    slots.push_back({Py_tp_dealloc, reinterpret_cast<void*>(dealloc_object<Value>)});
  }
  slots.push_back({0, nullptr});
  return create_class_from_slots(class_name, sizeof(Object<Value>), slots.data());
}

}  // namespace tolvane::py
