#include "support/panic.hpp"

#include <cxxabi.h>
#include <sys/prctl.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>

namespace tolvane {
namespace {

// Paths from the build system are absolute; the part from "src/" on is what a reader wants.
const char* project_path(const char* file) {
  const char* p = std::strstr(file, "src/");
  return p ? p : file;
}

}  // namespace

#ifdef _LIBCPPABI_VERSION
// libc++abi (the wheels' runtime) exports the accessor without declaring it in <cxxabi.h>.
namespace abi {
extern "C" void* __cxa_get_globals() noexcept;
}
#endif

Panic::Panic(std::string message, FailureLocation where) : message_(std::move(message)) {
  // prctl rather than pthread_getname_np, which musl has only since 1.2.3: the musl wheels run on
  // 1.2.2. The kernel's names are 16 bytes at most, the terminating zero included.
  char thread_name[16] = "?";
  prctl(PR_GET_NAME, thread_name);
  // The system call rather than gettid(), which glibc has only since 2.30: the wheels run on 2.28.
  std::fprintf(stderr, "tolvane: internal failure on thread %ld (%s) at %s:%u:%u: %s\n",
               syscall(SYS_gettid), thread_name, project_path(where.file), where.line, where.column,
               message_.c_str());
}

void prepare_thread_for_exceptions() noexcept {
  // The runtime declares the accessor const; the empty asm keeps the call from being dropped.
  void* globals = abi::__cxa_get_globals();
  asm volatile("" : : "r"(globals));
}

void panic(std::string message, FailureLocation where) { throw Panic(std::move(message), where); }

}  // namespace tolvane
