#pragma once

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

// Instance layout of the four classes: the object header, a borrow flag and the value record.
// Borrow flag: 0 free, >0 being read, -1 being written.
template <class Value>
struct Object {
  PyObject ob_base;
  Py_ssize_t borrow;
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

// Shared borrow for the duration of a read.
class SharedBorrow {
 public:
  explicit SharedBorrow(Py_ssize_t& flag) : flag_(flag) {
    if (flag_ == -1) raise(PyExc_RuntimeError, messages::kAlreadyMutablyBorrowed);
    ++flag_;
  }
  ~SharedBorrow() { --flag_; }
  SharedBorrow(const SharedBorrow&) = delete;
  SharedBorrow& operator=(const SharedBorrow&) = delete;

 private:
  Py_ssize_t& flag_;
};

// Exclusive borrow for the duration of a write.
class ExclusiveBorrow {
 public:
  explicit ExclusiveBorrow(Py_ssize_t& flag) : flag_(flag) {
    if (flag_ != 0) raise(PyExc_RuntimeError, messages::kAlreadyBorrowed);
    flag_ = -1;
  }
  ~ExclusiveBorrow() { flag_ = 0; }
  ExclusiveBorrow(const ExclusiveBorrow&) = delete;
  ExclusiveBorrow& operator=(const ExclusiveBorrow&) = delete;

 private:
  Py_ssize_t& flag_;
};

// A copy of the record held by `o`, which must be of the record's class.
template <class Value>
Value read_value(PyObject* o) {
  auto* obj = as_object<Value>(o);
  SharedBorrow borrow(obj->borrow);
  return obj->value;
}

// A new object of `type` owning `value`.
template <class Value>
Ref new_object(PyTypeObject* type, Value value) {
  // Once allocated, the object is freed through its class, which destroys the value: a move that
  // failed would leave it a value never made.
  static_assert(std::is_nothrow_move_constructible_v<Value>);
  Ref o = Ref::checked(type->tp_alloc(type, 0));
  auto* obj = as_object<Value>(o.get());
  obj->borrow = 0;
  new (&obj->value) Value(std::move(value));
  return o;
}

// The setter of a record's attribute: the record is replaced by `replace(record, value)`. The new
// value is converted while the object is held for writing, so that Python code run by the
// conversion cannot reach it.
template <class Value, class Replace>
int replace_record(PyObject* self, PyObject* value, Replace&& replace) {
  return setter_frame([&] {
    auto* obj = as_object<Value>(self);
    ExclusiveBorrow borrow(obj->borrow);
    if (!value) raise(PyExc_AttributeError, messages::kCannotDeleteAttribute);
    obj->value = replace(*obj->value, value);
  });
}

// tp_dealloc of every class.
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
// repr()), with `extra` slots besides.
template <class Value>
PyTypeObject* create_class(const char* class_name, newfunc construct, reprfunc text,
                           std::span<const PyType_Slot> extra = {}) {
  std::vector<PyType_Slot> slots = {
      {Py_tp_new, reinterpret_cast<void*>(construct)},
      {Py_tp_dealloc, reinterpret_cast<void*>(dealloc_object<Value>)},
      {Py_tp_str, reinterpret_cast<void*>(text)},
      {Py_tp_repr, reinterpret_cast<void*>(text)},
  };
  slots.insert(slots.end(), extra.begin(), extra.end());
  slots.push_back({0, nullptr});
  return create_class_from_slots(class_name, sizeof(Object<Value>), slots.data());
}

}  // namespace tolvane::py
