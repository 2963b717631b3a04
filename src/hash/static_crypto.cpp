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
