// Linked into the module with libcrypto statically (TOLVANE_STATIC_DEPS). On x86-64, libcrypto
// probes the CPU (which SHA-256 code it may run: SSSE3, AVX2, the SHA extensions) from a call
// that its objects place in the .init section; a library linked without the C runtime's crti and
// crtn objects, as zig links one, never runs that section, and every hash that falls back to
// OpenSSL would take its slowest code. The probe is run here instead; it runs once however often
// it is called. (On aarch64 libcrypto registers its probe as a constructor itself.)
#if defined(__x86_64__)
extern "C" void OPENSSL_cpuid_setup(void);

namespace {
[[gnu::constructor]] void probe_cpu_for_libcrypto() { OPENSSL_cpuid_setup(); }
}  // namespace
#endif

#if defined(__aarch64__) && !defined(__GLIBC__)
#include <setjmp.h>
// Debian's libcrypto is built for glibc with _FORTIFY_SOURCE: its CPU probe's siglongjmp is glibc's
// checked __longjmp_chk, which musl lacks, and a module importing it would not load there. The
// probe never jumps on musl (getauxval answers first), but the name must resolve; musl's
// sigjmp_buf has glibc's size on aarch64, so the plain jump serves.
extern "C" [[noreturn]] void __longjmp_chk(sigjmp_buf env, int value) { siglongjmp(env, value); }
#endif
