#include "protocol/threads.h"

#include <sched.h>

#include <algorithm>
#include <atomic>
#include <iterator>

#include "protocol/clock.h"
#include "protocol/settings.h"

namespace {

// A thread parked this long with nothing to do ends.
constexpr double kIdleSeconds = 30.0;

// The pools' threads run SCHED_BATCH when the process runs the default policy (TQR_BATCH_THREADS).
// Their work is message loops that hand each other one message at a time: a thread that writes wakes
// its peer and blocks in its own next read a moment later. Under the default policy the woken peer,
// placed on the writer's CPU, preempts the writer on its way out of the write, two switches that buy
// nothing; a batch thread waits for the writer to block. A process the host runs under another policy
// (real time, idle) is left as it is. Returns whether this thread is now batched: a thread started by
// a batched one already is.
bool batch_this_thread() {
    if (!zel::settings().batch_threads) return false;
    const int policy = sched_getscheduler(0);
    if (policy == SCHED_BATCH) return true;
    if (policy != SCHED_OTHER) return false;
    sched_param none{};
    return sched_setscheduler(0, SCHED_BATCH, &none) == 0;
}

}  // namespace

bool zel::start_thread(pthread_t* thread, void* (*entry)(void*), void* argument, size_t stack) {
    pthread_attr_t attributes;
    pthread_attr_init(&attributes);
    if (stack != kDefaultStack) pthread_attr_setstacksize(&attributes, stack);
    bool started = pthread_create(thread, &attributes, entry, argument) == 0;
    pthread_attr_destroy(&attributes);
    return started;
}

void zel::Completion::done() {
    MutexLock lock(m_mutex);
    m_done = true;
    m_changed.broadcast();
}

bool zel::Completion::finished() {
    MutexLock lock(m_mutex);
    return m_done;
}

void zel::Completion::wait() {
    MutexLock lock(m_mutex);
    while (!m_done) m_changed.wait(m_mutex);
}

struct zel::ThreadPool::Worker {
    ThreadPool* pool;
    pthread_t thread{};
    CondVar wake;  // with the pool's mutex: a job came, or the pool trims
    // Guarded by the pool's mutex:
    Entry entry = nullptr;
    void* argument = nullptr;
    std::shared_ptr<Completion> done;
    bool leave = false;
    std::atomic<int> signals{0};  // run() calls about to signal `wake`, which must outlive them
};

bool zel::ThreadPool::run(Entry entry, void* argument, const std::shared_ptr<Completion>& done, pthread_t* worker) {
    reap();
    Worker* taken = nullptr;
    {
        MutexLock lock(m_mutex);
        // Not one that trim() or shutdown() told to leave: it would end only after this work, and they
        // would wait for it as long.
        auto ready = std::find_if(m_parked.rbegin(), m_parked.rend(), [](const Worker* w) { return !w->leave; });
        if (ready != m_parked.rend()) {
            taken = *ready;
            m_parked.erase(std::next(ready).base());
            taken->entry = entry;
            taken->argument = argument;
            taken->done = done;
            if (worker) *worker = taken->thread;
            // Signalled once the lock is free, so that the woken thread does not at once sleep again
            // on the lock it needs; it cannot end meanwhile (see work()).
            ++taken->signals;
        } else {
            if (m_threads >= static_cast<size_t>(settings().max_threads)) return false;
            ++m_threads;
        }
    }
    if (taken != nullptr) {
        taken->wake.signal();
        --taken->signals;
        return true;
    }
    taken = new Worker;
    taken->pool = this;
    taken->entry = entry;
    taken->argument = argument;
    taken->done = done;
    // The handle is written before the new thread could read it: under the lock it parks with.
    MutexLock lock(m_mutex);
    if (!start_thread(&taken->thread, s_worker, taken, m_stack)) {
        --m_threads;
        delete taken;
        return false;
    }
    if (worker) *worker = taken->thread;
    return true;
}

void* zel::ThreadPool::s_worker(void* worker) {
    Worker* self = static_cast<Worker*>(worker);
    self->pool->work(self);
    return nullptr;
}

void zel::ThreadPool::work(Worker* self) {
    const bool batched = batch_this_thread();
    for (;;) {
        Entry entry;
        void* argument;
        std::shared_ptr<Completion> done;
        {
            MutexLock lock(m_mutex);
            entry = self->entry;
            argument = self->argument;
            done = std::move(self->done);
            self->entry = nullptr;
        }
        entry(argument);
        // A bridge callback may have set its thread's policy: the next job gets the pool's.
        if (batched && sched_getscheduler(0) != SCHED_BATCH) {
            sched_param none{};
            sched_setscheduler(0, SCHED_BATCH, &none);
        }
        {
            MutexLock lock(m_mutex);
            m_parked.push_back(self);
            // A thread that parks while the pool trims or ends is gone with the others.
            if (m_ending || m_trims > 0) self->leave = true;
            if (m_idle_waits > 0) m_gone.broadcast();
        }
        // Told once parked: whoever waited for the work finds the thread among the pool's parked
        // ones, where trim() reaches it.
        if (done) done->done();
        MutexLock lock(m_mutex);
        timespec until = monotonic_timespec(zel::now() + kIdleSeconds);
        while (self->entry == nullptr && !self->leave)
            if (self->wake.wait_until(m_mutex, until) != 0 && self->entry == nullptr) self->leave = true;
        if (self->entry != nullptr) continue;
        // Ends: out of the parked list (a run() may not take it any more), joined by the next reap().
        for (size_t i = 0; i < m_parked.size(); ++i)
            if (m_parked[i] == self) m_parked.erase(m_parked.begin() + static_cast<long>(i));
        m_ended.push_back(self->thread);
        --m_threads;
        m_gone.broadcast();
        // A run() that handed this thread a job it already ran may not have signalled it yet.
        while (self->signals.load() != 0) sched_yield();
        delete self;
        return;
    }
}

void zel::ThreadPool::reap() {
    std::vector<pthread_t> ended;
    {
        MutexLock lock(m_mutex);
        ended.swap(m_ended);
    }
    for (pthread_t thread : ended) pthread_join(thread, nullptr);
}

bool zel::ThreadPool::wait_idle(double seconds) {
    MutexLock lock(m_mutex);
    ++m_idle_waits;
    const timespec until = monotonic_timespec(zel::now() + seconds);
    while (m_parked.size() < m_threads)
        if (m_gone.wait_until(m_mutex, until) != 0) break;
    --m_idle_waits;
    return m_parked.size() >= m_threads;
}

void zel::ThreadPool::trim() {
    {
        MutexLock lock(m_mutex);
        ++m_trims;
        for (Worker* parked : m_parked) {
            parked->leave = true;
            parked->wake.signal();
        }
        // Each leaves the parked list and files itself as ended, under the lock.
        while (!m_parked.empty()) m_gone.wait(m_mutex);
        --m_trims;
    }
    reap();
}

void zel::ThreadPool::shutdown() {
    {
        MutexLock lock(m_mutex);
        m_ending = true;
        for (Worker* parked : m_parked) {
            parked->leave = true;
            parked->wake.signal();
        }
        while (m_threads > 0) m_gone.wait(m_mutex);
        m_ending = false;
    }
    reap();
}

size_t zel::ThreadPool::threads() {
    MutexLock lock(m_mutex);
    return m_threads;
}

zel::ThreadPool& zel::library_threads() {
    static ThreadPool* pool = new ThreadPool(kSmallStack);
    return *pool;
}

zel::ThreadPool& zel::host_threads() {
    static ThreadPool* pool = new ThreadPool(kDefaultStack);
    return *pool;
}
