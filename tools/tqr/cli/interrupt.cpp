#include "cli/interrupt.h"

#include <pthread.h>
#include <signal.h>

#include <cerrno>
#include <thread>

#include "cli/prompt.h"

namespace tqr {

void add_stop_signals(sigset_t* set) {
    sigaddset(set, SIGTERM);
    // A hang-up of the terminal (a lost ssh session) ends the command as SIGTERM does, rather than at
    // whatever point its default action finds the process.
    for (int number : {SIGINT, SIGHUP}) {
        struct sigaction was {};
        if (sigaction(number, nullptr, &was) == 0 && was.sa_handler != SIG_IGN) sigaddset(set, number);
    }
}

InterruptWatch::InterruptWatch(void (*on_signal)(int signal, void* context), void* context) {
    sigset_t stop;
    sigemptyset(&stop);
    add_stop_signals(&stop);
    pthread_sigmask(SIG_BLOCK, &stop, nullptr);
    m_thread = std::thread([this, stop, on_signal, context] {
        int received = 0;
        while (sigwait(&stop, &received) != 0) {
        }
        // The destructor's own signal, sent to this thread alone, only ends the wait.
        if (m_stopping.load()) return;
        put_terminal_back();
        on_signal(received, context);
        // A second signal is a person who will not wait for the end under way (a coordinator that
        // does not answer its handshake, a disk that hangs): it ends the process as the signal does
        // by default.
        while (sigwait(&stop, &received) != 0) {
        }
        if (m_stopping.load()) return;
        signal(received, SIG_DFL);
        sigset_t only;
        sigemptyset(&only);
        sigaddset(&only, received);
        pthread_sigmask(SIG_UNBLOCK, &only, nullptr);
        raise(received);
    });
}

InterruptWatch::~InterruptWatch() {
    m_stopping.store(true);
    // Blocked in this thread as in every other, so the waiting thread takes it; once that thread has
    // returned (a signal came first), the signal is dropped with it.
    pthread_kill(m_thread.native_handle(), SIGTERM);
    m_thread.join();
}

const char* interrupt_name(int signal) {
    return signal == SIGINT ? "SIGINT" : signal == SIGHUP ? "SIGHUP" : "SIGTERM";
}

}  // namespace tqr
