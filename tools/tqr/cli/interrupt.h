// SIGINT, SIGTERM and SIGHUP for `tqr send` and `tqr receive`. All are blocked in every thread and one
// thread waits for them, so that what a person's Ctrl-C does (leave a part that can be continued,
// remove a temporary folder, say so) runs as ordinary code that may take locks and write lines.
#ifndef ZEL_TOOLS_TQR_CLI_INTERRUPT_H
#define ZEL_TOOLS_TQR_CLI_INTERRUPT_H

#include <signal.h>

#include <atomic>
#include <thread>

namespace tqr {

// Adds to `set` the signals that end a command: SIGTERM, and SIGINT and SIGHUP unless the process was
// started with them ignored. `nohup` ignores a hang-up, and a script's `&` an interrupt, on purpose;
// a signal that is blocked and waited for would be taken all the same.
void add_stop_signals(sigset_t* set);

// Blocks those signals in the calling thread and in every thread it starts later, then starts the
// thread that waits for them. That thread puts a raw terminal back (prompt.h) and runs
// `on_signal(signal, context)` at most once, which claims the command's end and returns; a second
// signal ends the process as that signal does by default. The destructor ends the thread when it is
// still waiting and joins it, so that it never reaches a context that is gone. Owned by the command's
// run function, made on its main thread before any other thread starts, and destroyed before the
// context; one at a time per process.
class InterruptWatch {
public:
    InterruptWatch(void (*on_signal)(int signal, void* context), void* context);
    ~InterruptWatch();
    InterruptWatch(const InterruptWatch&) = delete;
    InterruptWatch& operator=(const InterruptWatch&) = delete;

private:
    std::atomic<bool> m_stopping{false};
    std::thread m_thread;
};

// "SIGINT", "SIGTERM", "SIGHUP".
const char* interrupt_name(int signal);

}  // namespace tqr

#endif
