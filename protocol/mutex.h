// The library's mutex, its scoped guard and its condition variable: thin wrappers around the POSIX
// objects, annotated so that a clang build checks who holds what (thread_annotations.h).
//
// A Mutex has default attributes and is not recursive. A CondVar measures timed waits on the clock it
// was made with: the monotonic clock unless a caller's deadline is defined on the wall clock.
#ifndef ZEL_PROTOCOL_MUTEX_H
#define ZEL_PROTOCOL_MUTEX_H

#include <pthread.h>
#include <time.h>

#include "protocol/thread_annotations.h"

namespace zel {

class ZEL_CAPABILITY("mutex") Mutex {
public:
    Mutex() { pthread_mutex_init(&m_mutex, nullptr); }
    ~Mutex() { pthread_mutex_destroy(&m_mutex); }
    Mutex(const Mutex&) = delete;
    Mutex& operator=(const Mutex&) = delete;

    void lock() ZEL_ACQUIRE() { pthread_mutex_lock(&m_mutex); }
    void unlock() ZEL_RELEASE() { pthread_mutex_unlock(&m_mutex); }
    pthread_mutex_t* native() { return &m_mutex; }

private:
    pthread_mutex_t m_mutex;
};

// Holds a Mutex for one scope.
class ZEL_SCOPED_CAPABILITY MutexLock {
public:
    explicit MutexLock(Mutex& mutex) ZEL_ACQUIRE(mutex) : m_mutex(mutex) { m_mutex.lock(); }
    ~MutexLock() ZEL_RELEASE() { m_mutex.unlock(); }
    MutexLock(const MutexLock&) = delete;
    MutexLock& operator=(const MutexLock&) = delete;

private:
    Mutex& m_mutex;
};

class CondVar {
public:
    explicit CondVar(clockid_t clock = CLOCK_MONOTONIC) : m_clock(clock) {
        pthread_condattr_t attributes;
        pthread_condattr_init(&attributes);
        pthread_condattr_setclock(&attributes, clock);
        pthread_cond_init(&m_cond, &attributes);
        pthread_condattr_destroy(&attributes);
    }
    ~CondVar() { pthread_cond_destroy(&m_cond); }
    CondVar(const CondVar&) = delete;
    CondVar& operator=(const CondVar&) = delete;

    // Callers wait in a loop on their own condition: a wait may end without a signal.
    void wait(Mutex& mutex) ZEL_REQUIRES(mutex) { pthread_cond_wait(&m_cond, mutex.native()); }
    // Until `deadline` on this variable's clock: 0 when woken, ETIMEDOUT (or another error) otherwise.
    int wait_until(Mutex& mutex, const timespec& deadline) ZEL_REQUIRES(mutex) {
        return pthread_cond_timedwait(&m_cond, mutex.native(), &deadline);
    }
    void signal() { pthread_cond_signal(&m_cond); }
    void broadcast() { pthread_cond_broadcast(&m_cond); }
    clockid_t clock() const { return m_clock; }

private:
    pthread_cond_t m_cond;
    clockid_t m_clock;
};

}  // namespace zel

// Rejects the unnamed temporary `MutexLock(m);`, which would unlock at once: in the library's own
// code, which defines ZEL_BUILDING_LIBRARY; hosts get no macro.
#ifdef ZEL_BUILDING_LIBRARY
#define MutexLock(x) static_assert(false, "missing guard variable name")
#endif

#endif
