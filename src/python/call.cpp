#include "python/call.hpp"

#include <new>
#include <string>
#include <vector>

#include "support/interrupt.hpp"
#include "support/panic.hpp"

namespace tolvane::py {

void raise(PyObject* type, const char* message) {
  PyErr_SetString(type, message);
  throw ErrorAlreadySet{};
}

namespace {

[[noreturn]] void raise_type_error(std::string message) { raise(PyExc_TypeError, message.c_str()); }

std::string quoted_list(const std::vector<const char*>& names) {
  std::string out;
  for (std::size_t i = 0; i < names.size(); ++i) {
    if (i) out += names.size() == 2 ? " and " : (i + 1 == names.size() ? ", and " : ", ");
    out += '\'';
    out += names[i];
    out += '\'';
  }
  return out;
}

void check_positional_count(const Signature& sig, Py_ssize_t given) {
  if (given <= sig.count) return;
  std::string message = sig.full_name;
  message += " takes ";
  if (sig.required < sig.count) message += "from " + std::to_string(sig.required) + " to ";
  message += std::to_string(sig.count) + " positional arguments but " + std::to_string(given) +
             (given == 1 ? " was given" : " were given");
  raise_type_error(message);
}

void bind_keyword(const Signature& sig, PyObject* key, PyObject* value, BoundArgs& out) {
  for (int i = 0; i < sig.count; ++i) {
    if (PyUnicode_Check(key) && PyUnicode_CompareWithASCIIString(key, sig.names[i]) == 0) {
      if (out[i]) {
        raise_type_error(std::string(sig.full_name) + " got multiple values for argument '" +
                         sig.names[i] + "'");
      }
      out[i] = value;
      return;
    }
  }
  PyErr_Format(PyExc_TypeError, "%s got an unexpected keyword argument '%S'", sig.full_name, key);
  throw ErrorAlreadySet{};
}

void check_required(const Signature& sig, const BoundArgs& out) {
  std::vector<const char*> missing;
  for (int i = 0; i < sig.required; ++i) {
    if (!out[i]) missing.push_back(sig.names[i]);
  }
  if (missing.empty()) return;
  raise_type_error(std::string(sig.full_name) + " missing " + std::to_string(missing.size()) +
                   (missing.size() == 1 ? " required positional argument: "
                                        : " required positional arguments: ") +
                   quoted_list(missing));
}

}  // namespace

BoundArgs bind(const Signature& sig, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames) {
  BoundArgs out{};
  Py_ssize_t nargs = PyVectorcall_NARGS(nargsf);
  check_positional_count(sig, nargs);
  for (Py_ssize_t i = 0; i < nargs; ++i) out[i] = args[i];
  Py_ssize_t nkw = kwnames ? PyTuple_GET_SIZE(kwnames) : 0;
  for (Py_ssize_t j = 0; j < nkw; ++j) {
    bind_keyword(sig, PyTuple_GET_ITEM(kwnames, j), args[nargs + j], out);
  }
  check_required(sig, out);
  return out;
}

BoundArgs bind(const Signature& sig, PyObject* args, PyObject* kwargs) {
  BoundArgs out{};
  Py_ssize_t nargs = PyTuple_GET_SIZE(args);
  check_positional_count(sig, nargs);
  for (Py_ssize_t i = 0; i < nargs; ++i) out[i] = PyTuple_GET_ITEM(args, i);
  if (kwargs) {
    Py_ssize_t pos = 0;
    PyObject *key, *value;
    while (PyDict_Next(kwargs, &pos, &key, &value)) bind_keyword(sig, key, value, out);
  }
  check_required(sig, out);
  return out;
}

void prefix_type_error(const char* parameter) {
  if (!PyErr_ExceptionMatches(PyExc_TypeError)) return;
  PyObject *type, *value, *traceback;
  PyErr_Fetch(&type, &value, &traceback);
  PyErr_NormalizeException(&type, &value, &traceback);
  if (Py_TYPE(value) != reinterpret_cast<PyTypeObject*>(PyExc_TypeError)) {  // subclasses pass
    PyErr_Restore(type, value, traceback);
    return;
  }
  Ref first = Ref::steal(value);
  Ref first_traceback = Ref::steal(traceback);
  Py_DECREF(type);
  Ref text = Ref::steal(PyObject_Str(first.get()));
  Ref message = Ref::steal(
      text ? PyUnicode_FromFormat("argument '%s': %U", parameter, text.get()) : nullptr);
  PyObject* wrapped = message ? PyObject_CallOneArg(PyExc_TypeError, message.get()) : nullptr;
  if (!wrapped) return;  // keep whatever went wrong while wrapping
  // The new error stands where the first was raised: same cause, same context (the exception
  // being handled at the time), same choice of showing it, same traceback.
  auto* before = reinterpret_cast<PyBaseExceptionObject*>(first.get());
  PyException_SetCause(wrapped, PyException_GetCause(first.get()));  // steals
  PyException_SetContext(wrapped, PyException_GetContext(first.get()));  // steals
  reinterpret_cast<PyBaseExceptionObject*>(wrapped)->suppress_context = before->suppress_context;
  PyErr_Restore(Py_NewRef(PyExc_TypeError), wrapped, first_traceback.release());
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
    if (!PyErr_Occurred()) {
      PyErr_SetString(PyExc_SystemError, "attempted to fetch exception but none was set");
    }
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
  } catch (const std::bad_alloc&) {
    PyErr_NoMemory();
    return;
  } catch (const Panic& p) {
    panic_message = p.message();
  } catch (const std::exception& e) {
    panic_message = e.what();
  } catch (...) {
    panic_message = "unknown internal failure";
  }
  try {
    PyObject* type = panic_exception_type();
    PyObject* message = PyUnicode_DecodeUTF8(panic_message.data(),
                                             static_cast<Py_ssize_t>(panic_message.size()), "replace");
    if (!message) return;
    PyErr_SetObject(type, message);
    Py_DECREF(message);
  } catch (...) {
    // The exception class could not be created; its own error is set.
  }
}

}  // namespace tolvane::py
