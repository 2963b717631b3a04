#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

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

// Owning reference to a Python object.
class Ref {
 public:
  Ref() noexcept = default;
  static Ref steal(PyObject* p) noexcept { return Ref(p); }
  // Takes a new reference from an interpreter call, unwinding if it failed.
  static Ref checked(PyObject* p) { return Ref(check(p)); }
  static Ref borrow(PyObject* p) noexcept {
    Py_XINCREF(p);
    return Ref(p);
  }
  Ref(Ref&& o) noexcept : p_(std::exchange(o.p_, nullptr)) {}
  Ref& operator=(Ref&& o) noexcept {
    std::swap(p_, o.p_);
    return *this;
  }
  Ref(const Ref&) = delete;
  Ref& operator=(const Ref&) = delete;
  ~Ref() { Py_XDECREF(p_); }

  PyObject* get() const noexcept { return p_; }
  PyObject* release() noexcept { return std::exchange(p_, nullptr); }
  explicit operator bool() const noexcept { return p_ != nullptr; }

 private:
  explicit Ref(PyObject* p) noexcept : p_(p) {}
  PyObject* p_ = nullptr;
};

}  // namespace tolvane::py

namespace tolvane::py {
// Unwinds when an interpreter call reported failure with a negative status.
inline void check_status(int status) {
  if (status < 0) throw ErrorAlreadySet{};
}
}  // namespace tolvane::py
