#include "AllocationProbe.h"

#include <atomic>
#include <cstdlib>

namespace {

std::atomic<bool> gArmed{false};
std::atomic<std::size_t> gLargest{0};

void Note(std::size_t size) {
  if (!gArmed.load(std::memory_order_relaxed)) return;
  std::size_t seen = gLargest.load(std::memory_order_relaxed);
  while (size > seen && !gLargest.compare_exchange_weak(seen, size)) {
  }
}

}  // namespace

#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
#define PROBE_THROUGH_SANITIZER 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer) || __has_feature(thread_sanitizer)
#define PROBE_THROUGH_SANITIZER 1
#endif
#endif

#if defined(PROBE_THROUGH_SANITIZER)
// The sanitizer owns malloc; it reports every allocation to hooks instead.
extern "C" int __sanitizer_install_malloc_and_free_hooks(void (*malloc_hook)(const volatile void*,
                                                                             std::size_t),
                                                         void (*free_hook)(const volatile void*));

namespace {
void MallocHook(const volatile void*, std::size_t size) {
  Note(size);
}
void FreeHook(const volatile void*) {}
[[maybe_unused]] const int gHooksInstalled =
    __sanitizer_install_malloc_and_free_hooks(MallocHook, FreeHook);
}  // namespace

#else
// Plain builds replace the C allocator's entry points in this executable, so requests from
// the image library, libjpeg, libpng and libxml2 all pass through here to glibc's own.
extern "C" {
void* __libc_malloc(std::size_t);
void* __libc_calloc(std::size_t, std::size_t);
void* __libc_realloc(void*, std::size_t);
void __libc_free(void*);

void* malloc(std::size_t size) {
  Note(size);
  return __libc_malloc(size);
}
void* calloc(std::size_t count, std::size_t size) {
  std::size_t total = 0;
  Note(__builtin_mul_overflow(count, size, &total) ? SIZE_MAX : total);
  return __libc_calloc(count, size);
}
void* realloc(void* block, std::size_t size) {
  Note(size);
  return __libc_realloc(block, size);
}
void free(void* block) {
  __libc_free(block);
}
}
#endif

AllocationProbe::AllocationProbe() {
  gLargest.store(0);
  gArmed.store(true);
}

AllocationProbe::~AllocationProbe() {
  gArmed.store(false);
}

std::size_t AllocationProbe::Largest() const {
  return gLargest.load();
}
