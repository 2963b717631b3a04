#pragma once

#include <exception>
#include <source_location>
#include <string>
#include <string_view>

#include "support/failure_texts.hpp"

namespace tolvane {

// Where a failure is reported as having happened.
struct FailureLocation {
  const char* file;
  unsigned line;
  unsigned column;

#ifdef __cpp_lib_source_location
  static FailureLocation here(std::source_location where = std::source_location::current()) {
    return {where.file_name(), where.line(), where.column()};
  }
#else
  // Compilers whose standard library lacks source_location (the clang build of the fuzzer).
  static FailureLocation here(const char* file = __builtin_FILE(), unsigned line = __builtin_LINE(),
                              unsigned column = __builtin_COLUMN()) {
    return {file, line, column};
  }
#endif
};

// The one way the module's own code reports an unrecoverable failure. It may be thrown on any
// thread; the call frame of the binding layer turns it into the Python-side internal-failure
// exception carrying message(). Constructing one writes a short diagnostic to stderr.
class Panic : public std::exception {
 public:
  Panic(std::string message, FailureLocation where);

  const char* what() const noexcept override { return message_.c_str(); }
  const std::string& message() const noexcept { return message_; }

 private:
  std::string message_;
};

// Makes sure C++ exceptions can be thrown on this thread. The first one thrown on a thread
// allocates the runtime's per-thread record lazily, and when that allocation fails the process
// aborts instead of raising: so every thread that may throw calls this first, while memory is
// still to be had (worker threads when they start, the binding layer on every entry).
void prepare_thread_for_exceptions() noexcept;

[[noreturn]] void panic(std::string message, FailureLocation where = FailureLocation::here());

}  // namespace tolvane
