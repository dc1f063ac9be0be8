// The coordinator's log when it goes to a fifo or a device rather than a file. The library writes
// each line into g_logmsg holding the log's lock; written straight into a fifo whose reader stopped
// reading (anyone may open a fifo of mode 0644 for reading), the line would block, and every thread
// of every party after it would wait on the lock, the stop signal's included. Here the stream goes
// into a pipe of ours instead, and a thread of the pump's passes whole lines on without ever waiting
// for the reader: what does not fit in its buffer is dropped, counted and told in the log once the
// reader reads again.
//
// Owned by run_coordinator, made before any thread of the library and ended after the last is gone.
// The pump's thread alone touches its buffer; start() and the destructor run on the main thread.
#ifndef ZEL_TOOLS_TQR_SERVICE_LOG_PUMP_H
#define ZEL_TOOLS_TQR_SERVICE_LOG_PUMP_H

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

private:
    void run();

    int m_in = -1;      // the pipe's end that the pump reads
    int m_target = -1;  // the fifo or device, written without blocking
    std::thread m_thread;
};

}  // namespace tqr

#endif
