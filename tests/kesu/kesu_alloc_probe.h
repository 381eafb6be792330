// Measures heap requests made by the current thread while a probe is active,
// through the address sanitizer's allocation hooks (no replacement of the
// global allocator). Without the sanitizer the probe reports itself
// unavailable and callers skip their memory assertions.
#pragma once

#include <cstddef>

#if defined(__SANITIZE_ADDRESS__)
extern "C" int __sanitizer_install_malloc_and_free_hooks(void (*malloc_hook)(const volatile void*,
                                                                             size_t),
                                                         void (*free_hook)(const volatile void*));
#endif

namespace kesu::test {

class AllocProbe {
 public:
  static bool available() {
#if defined(__SANITIZE_ADDRESS__)
    static const int installed = __sanitizer_install_malloc_and_free_hooks(&on_malloc, &on_free);
    return installed != 0;
#else
    return false;
#endif
  }
  AllocProbe() {
    largest_ = 0;
    total_ = 0;
    active_ = available();
  }
  ~AllocProbe() {
    active_ = false;
  }
  size_t largest() const {
    return largest_;
  }
  size_t total() const {
    return total_;
  }

 private:
  static void on_malloc(const volatile void*, size_t n) {
    if (!active_) return;
    if (n > largest_) largest_ = n;
    total_ += n;
  }
  static void on_free(const volatile void*) {}
  static inline thread_local bool active_ = false;
  static inline thread_local size_t largest_ = 0;
  static inline thread_local size_t total_ = 0;
};

}  // namespace kesu::test
