#pragma once

#include <array>
#include <cstddef>
#include <tuple>
#include <type_traits>
#include <utility>

#include "python/ref.hpp"
#include "support/panic.hpp"

namespace tolvane::py {

// The most parameters a callable has: BoundArgs holds this many arguments.
inline constexpr int kMaxParameters = 6;

// How a callable binds its arguments: every parameter is positional-or-keyword; the first
// `required` are required. Signatures are made at compile time from their array of names, so
// that one with more parameters than BoundArgs holds fails the build.
struct Signature {
  template <std::size_t N>
  consteval Signature(const char* full_name, const char* const (&names)[N], int required)
      : full_name(full_name), names(names), count(static_cast<int>(N)), required(required) {
    if (N > kMaxParameters) throw "more parameters than BoundArgs holds";
    if (required < 0 || required > count) throw "more required parameters than parameters";
  }

  const char* full_name;  // "generate_features()", "Feature.__new__()"
  const char* const* names;
  int count;
  int required;
};

// Replaces the TypeError being raised by one saying "argument '<parameter>': <message>", chained
// and placed as the original was. Other errors pass unchanged.
void prefix_type_error(const char* parameter);

// The arguments of one call, bound to their parameters: borrowed, null where not given.
class BoundArgs {
 public:
  // Vector-call binding (module functions, static methods).
  BoundArgs(const Signature& sig, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames);
  // Tuple-and-dict binding (constructors).
  BoundArgs(const Signature& sig, PyObject* args, PyObject* kwargs);

  // Converts every argument in parameter order, one converter a parameter; a TypeError raised by
  // a conversion names its parameter.
  template <class... Convert>
  auto convert(Convert&&... converters) const {
    assert(static_cast<int>(sizeof...(Convert)) == sig_->count);
    return convert_each(std::index_sequence_for<Convert...>{}, converters...);
  }

 private:
  void check_positional_count(Py_ssize_t given) const;
  void bind_keyword(PyObject* key, PyObject* value);
  void check_required() const;

  template <std::size_t... I, class... Convert>
  auto convert_each(std::index_sequence<I...>, Convert&... converters) const {
    // A braced list runs the conversions in order, and none after one that fails.
    return std::tuple<std::invoke_result_t<Convert&, PyObject*>...>{convert_one(I, converters)...};
  }
  template <class Convert>
  std::invoke_result_t<Convert&, PyObject*> convert_one(std::size_t i, Convert& convert) const {
    try {
      return convert(values_[i]);
    } catch (const ErrorAlreadySet&) {
      prefix_type_error(sig_->names[i]);
      throw;
    }
  }

  const Signature* sig_;
  std::array<PyObject*, kMaxParameters> values_{};
};

// Turns the exception in flight into the matching Python exception: the one translator of
// failures into Python's terms.
void set_python_error_from_current_exception() noexcept;

// Every entry from Python runs its body through a frame: C++ exceptions never cross into the
// interpreter. Returns null (or -1 for setters) with the Python exception set on failure.
template <class F>
PyObject* frame(F&& body) noexcept {
  prepare_thread_for_exceptions();
  try {
    Ref result = body();
    return result.release();
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

// Calls nest: a signal handler that the stop probe runs may call in again, and so may Python code
// that a conversion runs. Each level takes stack, so the module functions and the probe first make
// sure that the interpreter's recursion limit and the thread's stack allow one more: otherwise
// RecursionError, as for Python's own calls. Held for the duration of the level.
class NestingLevel {
 public:
  // Raises RecursionError (ErrorAlreadySet) when fewer than `stack_needed` bytes of stack are left.
  explicit NestingLevel(std::size_t stack_needed);
  ~NestingLevel() { Py_LeaveRecursiveCall(); }
  NestingLevel(const NestingLevel&) = delete;
  NestingLevel& operator=(const NestingLevel&) = delete;
};

// What a module function may need below its entry before it meets the next check: its own frames
// down to the deepest work and to the stop probe, and a signal handler's frames in the interpreter
// on the way back in. The sanitizers' frames are several times larger.
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
inline constexpr std::size_t kCallStack = std::size_t{256} << 10;
#else
inline constexpr std::size_t kCallStack = std::size_t{64} << 10;
#endif

// A function that takes vector-call arguments and keywords, as a method-table entry.
using FastcallBody = Ref (*)(PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames);

template <FastcallBody Body>
PyObject* fastcall(PyObject*, PyObject* const* args, Py_ssize_t nargsf,
                   PyObject* kwnames) noexcept {
  return frame([&] {
    NestingLevel level(kCallStack);
    return Body(args, nargsf, kwnames);
  });
}

template <FastcallBody Body>
PyMethodDef fastcall_method(const char* name, int extra_flags = 0) {
  return {name, reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(fastcall<Body>)),
          METH_FASTCALL | METH_KEYWORDS | extra_flags, ""};
}

// The stop probe of every call that can wait or run long: runs the Python handlers of pending
// signals, and says stop when one raised (its exception is then set, for the frame to hand back),
// or when there is no room left to run them (RecursionError).
bool python_signal_raised();

// The internal-failure exception class, created on first need.
PyObject* panic_exception_type();

}  // namespace tolvane::py
