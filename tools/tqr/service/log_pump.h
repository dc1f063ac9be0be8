// The coordinator's log when it goes to a fifo or a device rather than a file. The library writes
// each line into g_logmsg holding the log's lock; written straight into a fifo whose reader stopped
// reading (anyone may open a fifo of mode 0644 for reading), the line would block, and every thread
// of every party after it would wait on the lock, the stop signal's included. Here the stream goes
// into a pipe of ours instead, and a thread of the pump's passes whole lines on without ever waiting
// for the reader: when its buffer is full the oldest lines not yet begun are dropped, so that the
// newest get through, and a line in their place counts them.
//
// Standard error goes through a pump of its own when it is a pipe, a socket or a terminal: a reader
// that stops reading (a stalled pipe or journal, a terminal paused with Ctrl-S) would otherwise stop
// each thread that tells a status line, and the stop signal with them. Its dropped lines are told
// as "status_dropped count=N".
//
// Owned by run_coordinator, made before any thread of the library and ended after the last is gone.
// The pump's thread alone touches its buffer; start(), start_for_stderr(), linger_until() and the
// destructor run on the main thread. A standard error that can only be written as the description
// it shares with the shell, which waits (another user's terminal or pipe), gets a writer thread of
// its own, the only one that ever waits for that reader.
#ifndef ZEL_TOOLS_TQR_SERVICE_LOG_PUMP_H
#define ZEL_TOOLS_TQR_SERVICE_LOG_PUMP_H

#include <signal.h>

#include <atomic>
#include <chrono>
#include <memory>
#include <string>
#include <thread>

namespace tqr {

class LogPump {
public:
    LogPump() = default;
    ~LogPump();
    LogPump(const LogPump&) = delete;
    LogPump& operator=(const LogPump&) = delete;

    // Opens g_logmsg on the pump, which writes to `target` (taken: closed by the pump). false, with
    // `*why`, when the pipe or the thread cannot be made; `target` is closed then too.
    bool start(int target, std::string* why);
    // Puts the pump in front of standard error when that is a pipe, a socket or a terminal: fd 2
    // becomes the pump's pipe, and is put back when the pump ends. false (standard error left as it
    // is) when it is a file, or the pump cannot be made.
    bool start_for_stderr();
    // How long the end waits, at most, for a reader that is late to take the last lines; any of
    // `cut` pending (blocked in every thread, as the stop signals are) ends the wait at once.
    void set_linger(double seconds, const sigset_t& cut) {
        m_linger = seconds;
        m_cut_signals = cut;
    }
    // The end of that wait, in place of the linger from the stream's end: one deadline that several
    // pumps ended one after the other share.
    void linger_until(std::chrono::steady_clock::time_point until) {
        m_until.store(until.time_since_epoch().count());
    }

private:
    struct Writer;

    void run();
    // Writes what the target takes now, never waiting for it.
    ssize_t write_now(const char* data, size_t size);
    // The writer thread holds lines it has not finished writing.
    bool writer_busy();
    // What may be handed to the writer now, in bytes.
    size_t writer_room();

    int m_in = -1;         // the pipe's end that the pump reads
    int m_target = -1;     // where the lines go, written without waiting (-1 with a writer)
    int m_ready = -1;      // polled for when the target takes more: the target, or the writer's event
    bool m_socket = false;  // the target is a socket: each send says not to wait
    std::shared_ptr<Writer> m_writer;  // shared with its thread, which a stalled reader may keep past the pump
    int m_stderr = -1;     // standard error as it was, put back at the end (start_for_stderr)
    double m_linger = 0;
    sigset_t m_cut_signals {};
    std::atomic<std::chrono::steady_clock::rep> m_until{0};  // linger_until's deadline; 0: none given
    std::thread m_thread;
};

}  // namespace tqr

#endif
