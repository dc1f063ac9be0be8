#include "cli/interrupt.h"

#include <pthread.h>
#include <signal.h>

#include <cerrno>
#include <thread>

#include "cli/prompt.h"

namespace tqr {

void catch_interrupts(void (*on_signal)(int signal)) {
    sigset_t stop;
    sigemptyset(&stop);
    sigaddset(&stop, SIGINT);
    sigaddset(&stop, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &stop, nullptr);
    std::thread([stop, on_signal] {
        int received = 0;
        while (sigwait(&stop, &received) != 0) {
        }
        // A prompt may have the terminal raw: the process must not leave it so.
        put_terminal_back();
        on_signal(received);
    }).detach();
}

const char* interrupt_name(int signal) { return signal == SIGINT ? "SIGINT" : "SIGTERM"; }

}  // namespace tqr
