#pragma once

#include <span>
#include <string>

#include "python/ref.hpp"

// Every fixed text the binding layer puts into an exception. Callers match them byte for byte, so
// each is written once, here; the code that raises them decides only when.
namespace tolvane::py::messages {

// Argument binding. `callable` is the signature's full name, such as "Feature.__new__()".

inline std::string too_many_positional(const char* callable, int required, int count,
                                       Py_ssize_t given) {
  std::string out = callable;
  out += " takes ";
  if (required < count) out += "from " + std::to_string(required) + " to ";
  out += std::to_string(count) + " positional arguments but " + std::to_string(given) +
         (given == 1 ? " was given" : " were given");
  return out;
}

inline std::string multiple_values(const char* callable, const char* parameter) {
  return std::string(callable) + " got multiple values for argument '" + parameter + "'";
}

// Format: the callable, then the keyword (an object).
inline constexpr const char kUnexpectedKeyword[] = "%s got an unexpected keyword argument '%S'";

// The names quoted and joined as a sentence: 'a' and 'b'; 'a', 'b', and 'c'.
inline std::string missing_required(const char* callable, std::span<const char* const> names) {
  std::string out =
      std::string(callable) + " missing " + std::to_string(names.size()) +
      (names.size() == 1 ? " required positional argument: " : " required positional arguments: ");
  for (std::size_t i = 0; i < names.size(); ++i) {
    if (i) out += names.size() == 2 ? " and " : (i + 1 == names.size() ? ", and " : ", ");
    out += '\'';
    out += names[i];
    out += '\'';
  }
  return out;
}

// Format: the parameter's name, then the message of the TypeError it replaces (an object).
inline constexpr const char kArgumentPrefix[] = "argument '%s': %U";

// Objects and their attributes.
inline constexpr const char kAlreadyMutablyBorrowed[] = "Already mutably borrowed";
inline constexpr const char kAlreadyBorrowed[] = "Already borrowed";
inline constexpr const char kCannotDeleteAttribute[] = "can't delete attribute";

// Conversion of values. Format: the refused value's type name (an object), then the target's.
inline constexpr const char kCannotConvert[] = "'%U' object cannot be converted to '%s'";
struct Target {
  const char* name;
};
inline constexpr Target kText{"PyString"}, kBool{"PyBool"}, kTuple{"PyTuple"},
    kSequence{"Sequence"}, kFeature{"Feature"}, kPrimitive{"Primitive"};

inline constexpr const char kCountOutOfRange[] = "out of range integral type conversion attempted";
// Format: the length of the tuple given.
inline constexpr const char kNotAPair[] =
    "Expected tuple of length 2, but got tuple of length %zd.";

// Failures of the module itself that reach Python as other exceptions than PanicException (the
// texts of PanicException are in support/failure_texts.hpp).
inline constexpr const char kNoErrorSet[] = "attempted to fetch exception but none was set";
inline constexpr const char kUnknownFailure[] = "unknown internal failure";

}  // namespace tolvane::py::messages
