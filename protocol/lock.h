// RAII guards around the POSIX mutexes that the library's objects carry. Internal header.
#ifndef ZEL_PROTOCOL_LOCK_H
#define ZEL_PROTOCOL_LOCK_H

#include <pthread.h>

namespace zel {

class MutexGuard {
public:
    explicit MutexGuard(pthread_mutex_t& mutex) : m_mutex(mutex) { pthread_mutex_lock(&m_mutex); }
    ~MutexGuard() { pthread_mutex_unlock(&m_mutex); }
    MutexGuard(const MutexGuard&) = delete;
    MutexGuard& operator=(const MutexGuard&) = delete;

private:
    pthread_mutex_t& m_mutex;
};

}  // namespace zel

// Rejects the unnamed temporary `MutexGuard(m);`, which would unlock at once.
#define MutexGuard(x) static_assert(false, "missing guard variable name")

#endif
