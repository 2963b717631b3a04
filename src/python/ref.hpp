#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cassert>
#include <utility>

namespace tolvane::py {

// Thrown to unwind a call once a Python exception has been set; the call frame hands the set
// exception back to the interpreter.
struct ErrorAlreadySet {};

// Sets a Python exception with a fixed message and unwinds.
[[noreturn]] void raise(PyObject* type, const char* message);

// Unwinds when an interpreter call reported failure (returned null).
inline PyObject* check(PyObject* result) {
  if (!result) throw ErrorAlreadySet{};
  return result;
}

// Unwinds when an interpreter call reported failure with a negative status.
inline void check_status(int status) {
  if (status < 0) throw ErrorAlreadySet{};
}

// Reference counts may change only on a thread attached to the interpreter (under its lock, where
// it has one); worker threads never are.
inline void assert_interpreter_lock_held() noexcept { assert(PyGILState_Check()); }

// Owning reference to a Python object: every function of the binding layer that makes a new
// reference returns one, and release() hands it to the interpreter at the C-API boundary.
class Ref {
 public:
  Ref() noexcept = default;
  static Ref steal(PyObject* p) noexcept { return Ref(p); }
  // Takes a new reference from an interpreter call, unwinding if it failed.
  static Ref checked(PyObject* p) { return Ref(check(p)); }
  static Ref borrow(PyObject* p) noexcept {
    Ref r(p);
    Py_XINCREF(p);
    return r;
  }
  Ref(Ref&& o) noexcept : p_(std::exchange(o.p_, nullptr)) {}
  Ref& operator=(Ref&& o) noexcept {
    std::swap(p_, o.p_);
    return *this;
  }
  Ref(const Ref&) = delete;
  Ref& operator=(const Ref&) = delete;
  ~Ref() {
    if (p_) {
      assert_interpreter_lock_held();
      Py_DECREF(p_);
    }
  }

  PyObject* get() const noexcept { return p_; }
  [[nodiscard]] PyObject* release() noexcept { return std::exchange(p_, nullptr); }
  explicit operator bool() const noexcept { return p_ != nullptr; }

 private:
  explicit Ref(PyObject* p) noexcept : p_(p) {
    if (p_) assert_interpreter_lock_held();
  }
  PyObject* p_ = nullptr;
};

// Stores `item` in slot `i` of a new list, which takes the reference over.
inline void set_list_item(const Ref& list, Py_ssize_t i, Ref item) noexcept {
  PyList_SET_ITEM(list.get(), i, item.release());
}

}  // namespace tolvane::py
