#include "tests/support/FewDescriptors.h"

#include <atomic>

#if FERROWEN_TYPE_CHECK_NEEDS_DESCRIPTORS
#include <cstdint>
#include <dlfcn.h>
#endif

namespace testsupport {

std::atomic<int> descriptorHogs{0};

} // namespace testsupport

#if FERROWEN_TYPE_CHECK_NEEDS_DESCRIPTORS
// The undefined-behaviour sanitizer checks the type of an object it has not met before by probing
// its memory through a pipe; with no descriptor to make one, it reports every such object as
// having no valid type and stops the program. Its reports cannot be suppressed in this build (they
// are fatal), so while a test holds the process out of descriptors on purpose, objects met for the
// first time are not checked; at every other time the check runs as always.
extern "C" void __ubsan_handle_dynamic_type_cache_miss_abort(void *data, uintptr_t pointer,
                                                             uintptr_t hash) {
  using Handler = void (*)(void *, uintptr_t, uintptr_t);
  static const Handler check =
      reinterpret_cast<Handler>(::dlsym(RTLD_NEXT, "__ubsan_handle_dynamic_type_cache_miss_abort"));
  if (testsupport::descriptorHogs.load() > 0) return;
  if (check) check(data, pointer, hash);
}
#endif
