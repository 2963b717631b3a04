#pragma once

#include <array>
#include <cstddef>

#include "python/ref.hpp"
#include "support/panic.hpp"

namespace tolvane::py {

// How a callable binds its arguments: every parameter is positional-or-keyword; the first
// `required` are required.
struct Signature {
  const char* full_name;  // "generate_features()", "Feature.__new__()"
  const char* const* names;
  int count;
  int required;
};

inline constexpr int kMaxParameters = 6;
using BoundArgs = std::array<PyObject*, kMaxParameters>;  // borrowed; null where not given

// Vector-call binding (module functions, static methods).
BoundArgs bind(const Signature& sig, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames);
// Tuple-and-dict binding (constructors).
BoundArgs bind(const Signature& sig, PyObject* args, PyObject* kwargs);

// Runs one argument conversion; a TypeError it raises is replaced by one saying
// "argument '<name>': <message>", chained and placed as the original was. Other errors pass
// unchanged.
void prefix_type_error(const char* parameter);
template <class F>
auto convert_argument(const char* parameter, F&& convert) -> decltype(convert()) {
  try {
    return convert();
  } catch (const ErrorAlreadySet&) {
    prefix_type_error(parameter);
    throw;
  }
}

// Turns the exception in flight into the matching Python exception.
void set_python_error_from_current_exception() noexcept;

// Every entry from Python runs its body through a frame: C++ exceptions never cross into the
// interpreter. Returns null (or -1 for setters) with the Python exception set on failure.
template <class F>
PyObject* frame(F&& body) noexcept {
  prepare_thread_for_exceptions();
  try {
    return body();
  } catch (...) {
    set_python_error_from_current_exception();
    return nullptr;
  }
}
template <class F>
int setter_frame(F&& body) noexcept {
  prepare_thread_for_exceptions();
  try {
    body();
    return 0;
  } catch (...) {
    set_python_error_from_current_exception();
    return -1;
  }
}

// The stop probe of every call that can wait or run long: runs the Python handlers of pending
// signals, and says stop when one raised (its exception is then set, for the frame to hand back).
inline bool python_signal_raised() { return PyErr_CheckSignals() != 0; }

// The internal-failure exception class, created on first need.
PyObject* panic_exception_type();

}  // namespace tolvane::py
