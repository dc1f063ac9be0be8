// Starting the library's threads. Threads that run only library code get a small stack (their depth is
// known: no recursion, nothing larger than a read buffer of a few KiB on the stack); threads that call
// the host (the bridge callback) keep the default, since the host's depth is not ours to know.
// Internal header.
#ifndef ZEL_PROTOCOL_THREADS_H
#define ZEL_PROTOCOL_THREADS_H

#include <pthread.h>

#include <cstddef>

namespace zel {

#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
#define ZEL_SANITIZED 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer) || __has_feature(thread_sanitizer)
#define ZEL_SANITIZED 1
#endif
#endif

// Sanitizers grow every frame several times over.
#ifdef ZEL_SANITIZED
constexpr size_t kSmallStack = 1024 * 1024;
#else
constexpr size_t kSmallStack = 128 * 1024;
#endif
constexpr size_t kDefaultStack = 0;

// Starts a joinable thread. false when it could not be started.
bool start_thread(pthread_t* thread, void* (*entry)(void*), void* argument, size_t stack = kDefaultStack);
// Starts a thread that nobody joins. false when it could not be started.
bool start_detached(void* (*entry)(void*), void* argument, size_t stack = kDefaultStack);

}  // namespace zel

#endif
