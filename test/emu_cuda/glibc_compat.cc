// What GCC 12's headers make a library take from a glibc and libstdc++ newer
// than the modules' floor, defined here instead, so that the emulated driver
// loads on the same old systems as the modules it serves (a run on Debian
// 11's glibc 2.31 and GCC 10's libstdc++).
#include <new>

// glibc 2.32: read by the reference-count helpers to skip atomics in a
// single-threaded process. Never claiming that costs only the atomics.
extern "C" {
__attribute__((visibility("hidden"))) char __libc_single_threaded = 0;
}

// GLIBCXX_3.4.29 (GCC 11): what new[] of a size that overflows throws.
namespace std {
__attribute__((visibility("hidden"), noreturn)) void __throw_bad_array_new_length() {
  throw std::bad_array_new_length();
}
}  // namespace std
