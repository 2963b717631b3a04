#pragma once

#include <new>
#include <utility>

#include "column_schema.hpp"
#include "feature/feature.hpp"
#include "input_set.hpp"
#include "primitive.hpp"
#include "python/ref.hpp"

namespace tolvane::py {

// Instance layout of the four classes: the object header, a borrow flag and the value record.
// Borrow flag: 0 free, >0 being read, -1 being written.
template <class Value>
struct Object {
  PyObject_HEAD
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
    if (flag_ == -1) raise(PyExc_RuntimeError, "Already mutably borrowed");
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
    if (flag_ != 0) raise(PyExc_RuntimeError, "Already borrowed");
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
PyObject* new_object(PyTypeObject* type, Value value) {
  PyObject* o = check(type->tp_alloc(type, 0));
  auto* obj = as_object<Value>(o);
  obj->borrow = 0;
  new (&obj->value) Value(std::move(value));
  return o;
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
PyTypeObject* create_class(const char* class_name, int basic_size, PyType_Slot* slots);

}  // namespace tolvane::py
