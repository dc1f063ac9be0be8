// The library's threads. Work that the library starts (a reader, a party's session on the coordinator,
// a sender's listener, an endstation's bridge) runs on parked threads of a process-wide pool, taken
// when work comes and parked again when it is done, so that a rendezvous starts no thread of its own.
// A pool grows on demand up to a bound (TQR_MAX_THREADS), and a thread parked for a while ends. Its
// threads run SCHED_BATCH unless the host runs another policy (TQR_BATCH_THREADS; threads.cpp says why).
//
// Two pools: threads that run only library code get a small stack (their depth is known: no
// recursion, nothing larger than a read buffer of a few KiB on the stack); threads that call the host
// (the bridge callback) keep the default, since the host's depth is not ours to know. Internal header.
#ifndef ZEL_PROTOCOL_THREADS_H
#define ZEL_PROTOCOL_THREADS_H

#include <pthread.h>

#include <cstddef>
#include <memory>
#include <vector>

#include "protocol/mutex.h"

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

// Starts a joinable thread of its own (for the few threads that live as long as their object: the
// coordinator's accept thread, the deadline thread). false when it could not be started.
bool start_thread(pthread_t* thread, void* (*entry)(void*), void* argument, size_t stack = kDefaultStack);

// Told when a piece of work given to a pool has returned and its thread is parked again; shared by the
// pool and whoever waits.
class Completion {
public:
    void done() ZEL_EXCLUDES(m_mutex);
    void wait() ZEL_EXCLUDES(m_mutex);
    bool finished() ZEL_EXCLUDES(m_mutex);

private:
    Mutex m_mutex;
    CondVar m_changed;
    bool m_done ZEL_GUARDED_BY(m_mutex) = false;
};

class ThreadPool {
public:
    typedef void* (*Entry)(void*);

    explicit ThreadPool(size_t stack) : m_stack(stack) {}
    ThreadPool(const ThreadPool&) = delete;
    ThreadPool& operator=(const ThreadPool&) = delete;

    // Runs entry(argument) on a parked thread, or on a new one. `done`, when not null, is told once it
    // has returned; `worker`, when not null, receives the thread's handle. false when no thread can run
    // it (the bound is reached and none is parked, or the system gives no new one).
    bool run(Entry entry, void* argument, const std::shared_ptr<Completion>& done = nullptr, pthread_t* worker = nullptr)
        ZEL_EXCLUDES(m_mutex);
    // Waits until no thread of the pool runs work, at most `seconds`; false when one still did. For
    // hosts and tests that count threads once their parties are gone: a thread whose work returned is
    // still on its way to being parked, where trim() reaches it.
    bool wait_idle(double seconds) ZEL_EXCLUDES(m_mutex);
    // Ends the threads parked now and waits until they are gone: for hosts and tests that count threads.
    void trim() ZEL_EXCLUDES(m_mutex);
    // Ends every thread: the parked ones at once, the busy ones once their work returns; waits until
    // all have ended. Work given meanwhile starts threads anew, and so does later work.
    void shutdown() ZEL_EXCLUDES(m_mutex);
    size_t threads() ZEL_EXCLUDES(m_mutex);

private:
    struct Worker;
    static void* s_worker(void* worker);
    void work(Worker* worker) ZEL_EXCLUDES(m_mutex);
    // Joins the threads that have ended since the last call.
    void reap() ZEL_EXCLUDES(m_mutex);

    const size_t m_stack;
    Mutex m_mutex;
    std::vector<Worker*> m_parked ZEL_GUARDED_BY(m_mutex);
    CondVar m_gone;  // a parked thread ended, or (while wait_idle() waits) a thread parked
    std::vector<pthread_t> m_ended ZEL_GUARDED_BY(m_mutex);
    size_t m_threads ZEL_GUARDED_BY(m_mutex) = 0;
    bool m_ending ZEL_GUARDED_BY(m_mutex) = false;  // shutdown() waits: a thread whose work returns ends
    int m_trims ZEL_GUARDED_BY(m_mutex) = 0;        // trim() calls waiting: likewise
    int m_idle_waits ZEL_GUARDED_BY(m_mutex) = 0;   // wait_idle() calls waiting: each park is told
};

// Library code only (readers, coordinator sessions, deferred work); the host's callbacks (listeners,
// bridges). Made on first use and kept for the life of the process: a thread may still return to them
// while the process ends, unless the host ended them with zel::shutdown().
ThreadPool& library_threads();
ThreadPool& host_threads();

}  // namespace zel

#endif
