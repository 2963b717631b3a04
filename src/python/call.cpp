#include "python/call.hpp"

#include <pthread.h>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <new>
#include <string>
#include <utility>
#include <vector>

#include "dfs/synthesize.hpp"
#include "python/messages.hpp"
#include "support/interrupt.hpp"
#include "support/panic.hpp"

namespace tolvane::py {

namespace {

// What the probe needs below it to run a handler and have it fail cleanly.
constexpr std::size_t kProbeStack = std::size_t{32} << 10;

#if !defined(__GLIBC__)
// The main thread's stack grows on demand up to RLIMIT_STACK. glibc reports it that large; musl
// reports only the part mapped so far, and a first call from near the top of the stack would set
// the limit there for good: any later call from deeper down, with megabytes to spare, would
// raise RecursionError. Such a stack is taken as large as its limit allows (8 MiB, the usual
// limit, when there is none).
std::size_t main_thread_stack(std::size_t reported) noexcept {
  if (::getpid() != static_cast<pid_t>(::syscall(SYS_gettid))) return reported;
  rlimit limit{};
  if (::getrlimit(RLIMIT_STACK, &limit) != 0) return reported;
  std::size_t most = limit.rlim_cur == RLIM_INFINITY ? std::size_t{8} << 20 : limit.rlim_cur;
  return std::max(reported, most);
}
#endif

// The lowest address of the calling thread's stack, or 0 when the system does not say.
std::uintptr_t stack_low_end() noexcept {
  pthread_attr_t attr;
  if (pthread_getattr_np(pthread_self(), &attr) != 0) return 0;
  void* low = nullptr;
  std::size_t size = 0;
  std::size_t guard = 0;
  int status = pthread_attr_getstack(&attr, &low, &size);
  pthread_attr_getguardsize(&attr, &guard);
  pthread_attr_destroy(&attr);
  if (status != 0) return 0;
  auto bottom = reinterpret_cast<std::uintptr_t>(low);
#if !defined(__GLIBC__)
  bottom = bottom + size - main_thread_stack(size);
#endif
  return bottom + guard;
}

bool stack_left(std::size_t bytes) noexcept {
  thread_local const std::uintptr_t low = stack_low_end();
  auto here = reinterpret_cast<std::uintptr_t>(__builtin_frame_address(0));
  return low == 0 || (here > low && here - low >= bytes);
}

}  // namespace

NestingLevel::NestingLevel(std::size_t stack_needed) {
  if (Py_EnterRecursiveCall(" while calling a Python object")) throw ErrorAlreadySet{};
  if (!stack_left(stack_needed)) {
    Py_LeaveRecursiveCall();
    PyErr_SetString(PyExc_RecursionError,
                    "maximum recursion depth exceeded while calling a Python object");
    throw ErrorAlreadySet{};
  }
}

bool python_signal_raised() {
  try {
    NestingLevel level(kProbeStack);
    return PyErr_CheckSignals() != 0;
  } catch (const ErrorAlreadySet&) {
    return true;
  }
}

void raise(PyObject* type, const char* message) {
  PyErr_SetString(type, message);
  throw ErrorAlreadySet{};
}

void BoundArgs::check_positional_count(Py_ssize_t given) const {
  if (given <= sig_->count) return;
  raise(PyExc_TypeError,
        messages::too_many_positional(sig_->full_name, sig_->required, sig_->count, given).c_str());
}

void BoundArgs::bind_keyword(PyObject* key, PyObject* value) {
  for (int i = 0; i < sig_->count; ++i) {
    if (PyUnicode_Check(key) && PyUnicode_CompareWithASCIIString(key, sig_->names[i]) == 0) {
      if (values_[i]) {
        raise(PyExc_TypeError, messages::multiple_values(sig_->full_name, sig_->names[i]).c_str());
      }
      values_[i] = value;
      return;
    }
  }
  PyErr_Format(PyExc_TypeError, messages::kUnexpectedKeyword, sig_->full_name, key);
  throw ErrorAlreadySet{};
}

void BoundArgs::check_required() const {
  std::vector<const char*> missing;
  for (int i = 0; i < sig_->required; ++i) {
    if (!values_[i]) missing.push_back(sig_->names[i]);
  }
  if (missing.empty()) return;
  raise(PyExc_TypeError, messages::missing_required(sig_->full_name, missing).c_str());
}

BoundArgs::BoundArgs(const Signature& sig, PyObject* const* args, Py_ssize_t nargsf,
                     PyObject* kwnames)
    : sig_(&sig) {
  Py_ssize_t nargs = PyVectorcall_NARGS(nargsf);
  check_positional_count(nargs);
  for (Py_ssize_t i = 0; i < nargs; ++i) values_[i] = args[i];
  Py_ssize_t nkw = kwnames ? PyTuple_GET_SIZE(kwnames) : 0;
  for (Py_ssize_t j = 0; j < nkw; ++j) bind_keyword(PyTuple_GET_ITEM(kwnames, j), args[nargs + j]);
  check_required();
}

BoundArgs::BoundArgs(const Signature& sig, PyObject* args, PyObject* kwargs) : sig_(&sig) {
  Py_ssize_t nargs = PyTuple_GET_SIZE(args);
  check_positional_count(nargs);
  for (Py_ssize_t i = 0; i < nargs; ++i) values_[i] = PyTuple_GET_ITEM(args, i);
  if (kwargs) {
    Py_ssize_t pos = 0;
    PyObject *key, *value;
    while (PyDict_Next(kwargs, &pos, &key, &value)) bind_keyword(key, value);
  }
  check_required();
}

namespace {

// The exception being raised, taken from the thread with its traceback on it, and raising one
// again. From 3.12 the interpreter keeps a raised exception as one object; before, only the
// deprecated fetch/restore triple reaches it.
Ref take_raised_exception() {
#if PY_VERSION_HEX >= 0x030C0000
  return Ref::steal(PyErr_GetRaisedException());
#else
  PyObject *type, *value, *traceback;
  PyErr_Fetch(&type, &value, &traceback);
  PyErr_NormalizeException(&type, &value, &traceback);
  Ref exception = Ref::steal(value);
  if (traceback) PyException_SetTraceback(exception.get(), traceback);
  Py_XDECREF(type);
  Py_XDECREF(traceback);
  return exception;
#endif
}

void raise_again(Ref exception) {
#if PY_VERSION_HEX >= 0x030C0000
  PyErr_SetRaisedException(exception.release());
#else
  PyObject* type = reinterpret_cast<PyObject*>(Py_TYPE(exception.get()));
  Py_INCREF(type);
  PyObject* traceback = PyException_GetTraceback(exception.get());
  PyErr_Restore(type, exception.release(), traceback);
#endif
}

}  // namespace

void prefix_type_error(const char* parameter) {
  if (!PyErr_ExceptionMatches(PyExc_TypeError)) return;
  Ref first = take_raised_exception();
  // Subclasses of TypeError pass unchanged.
  if (Py_TYPE(first.get()) != reinterpret_cast<PyTypeObject*>(PyExc_TypeError)) {
    raise_again(std::move(first));
    return;
  }
  Ref text = Ref::steal(PyObject_Str(first.get()));
  Ref message =
      text ? Ref::steal(PyUnicode_FromFormat(messages::kArgumentPrefix, parameter, text.get()))
           : Ref();
  Ref wrapped = message ? Ref::steal(PyObject_CallOneArg(PyExc_TypeError, message.get())) : Ref();
  if (!wrapped) return;  // keep whatever went wrong while wrapping
  // The new error stands where the first was raised: same cause, same context (the exception
  // being handled at the time), same choice of showing it, same traceback.
  PyException_SetCause(wrapped.get(), PyException_GetCause(first.get()));      // steals
  PyException_SetContext(wrapped.get(), PyException_GetContext(first.get()));  // steals
  reinterpret_cast<PyBaseExceptionObject*>(wrapped.get())->suppress_context =
      reinterpret_cast<PyBaseExceptionObject*>(first.get())->suppress_context;
  Ref traceback = Ref::steal(PyException_GetTraceback(first.get()));
  if (traceback) PyException_SetTraceback(wrapped.get(), traceback.get());
  raise_again(std::move(wrapped));
}

PyObject* panic_exception_type() {
  static PyObject* type = [] {
    PyObject* t = PyErr_NewExceptionWithDoc(
        "tolvane.PanicException",
        "Raised when the native code fails unrecoverably.\n\n"
        "Like SystemExit, it derives from BaseException rather than Exception, so that it\n"
        "normally travels up the whole stack instead of being swallowed by `except Exception`.",
        PyExc_BaseException, nullptr);
    if (!t) throw ErrorAlreadySet{};
    return t;
  }();
  return type;
}

void set_python_error_from_current_exception() noexcept {
  // The exception is already set on the Python side: by a failed interpreter call, or by a signal
  // handler that the stop probe ran.
  auto keep_python_error = [] {
    if (!PyErr_Occurred()) PyErr_SetString(PyExc_SystemError, messages::kNoErrorSet);
  };
  std::string panic_message;
  try {
    throw;
  } catch (const ErrorAlreadySet&) {
    keep_python_error();
    return;
  } catch (const Interrupted&) {
    keep_python_error();
    return;
  } catch (const TooManyFeatures& e) {
    PyErr_SetString(PyExc_MemoryError, e.what());
    return;
  } catch (const std::bad_alloc&) {
    PyErr_NoMemory();
    return;
  } catch (const Panic& p) {
    panic_message = p.message();
  } catch (const std::exception& e) {
    panic_message = e.what();
  } catch (...) {
    panic_message = messages::kUnknownFailure;
  }
  try {
    PyObject* type = panic_exception_type();
    Ref message = Ref::steal(PyUnicode_DecodeUTF8(
        panic_message.data(), static_cast<Py_ssize_t>(panic_message.size()), "replace"));
    if (message) PyErr_SetObject(type, message.get());
  } catch (...) {
    // The exception class could not be created; its own error is set.
  }
}

}  // namespace tolvane::py
