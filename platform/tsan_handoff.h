// Hand-offs through Qt's event queue, made visible to ThreadSanitizer.
// Qt's mutexes are futexes that ThreadSanitizer cannot see, so an event
// built on a worker thread and read on the user-interface thread looks like
// a race although the queue orders the two (whether the dispatcher's wake-up
// write happens to give it an edge depends on timing). The poster publishes
// the event's address once it is built; the receiver claims that address
// before its first read. Both compile to nothing in other builds.
#pragma once

#if defined(__SANITIZE_THREAD__)
#define LUMASET_TSAN 1
#elif defined(__has_feature)
#if __has_feature(thread_sanitizer)
#define LUMASET_TSAN 1
#endif
#endif

#ifdef LUMASET_TSAN
#include <sanitizer/tsan_interface.h>
#endif

namespace lumaset::platform {

inline void PublishHandOff([[maybe_unused]] const void* object) {
#ifdef LUMASET_TSAN
  __tsan_release(const_cast<void*>(object));
#endif
}

inline void ClaimHandOff([[maybe_unused]] const void* object) {
#ifdef LUMASET_TSAN
  __tsan_acquire(const_cast<void*>(object));
#endif
}

}  // namespace lumaset::platform
