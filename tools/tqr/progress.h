// What `tqr send` and `tqr receive` show while they run.
//
// Progress: one status line on standard error, redrawn in place, shown only when standard error is a
// terminal (scripts and tests see nothing). Owned by the command's main thread; any thread may call it
// (bridge callbacks run on library threads, several at once), since every call takes its lock.
//
#ifndef ZEL_TOOLS_TQR_PROGRESS_H
#define ZEL_TOOLS_TQR_PROGRESS_H

#include <chrono>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>

namespace tqr {

class Progress {
public:
    // `command` starts the line ("send", "receive").
    explicit Progress(const char* command);
    bool enabled() const { return m_enabled; }

    // The protocol state: "joined conference x", "nominated bob", "connecting to port 7201" ...
    void state(const std::string& text);
    // Bytes moved on all links together (`delta` more), and the size of one whole payload.
    void add_bytes(uint64_t delta, uint64_t payload_size);
    // Extra counters shown after the state ("served 3"), empty for none.
    void counters(const std::string& text);
    // A line of its own on stderr (shown whether or not the status line is), above the status line.
    void note(const std::string& line);
    // The last redraw, ending the line; nothing is drawn afterwards.
    void finish(const std::string& text);

    // "1.5 MiB" style.
    static std::string human_bytes(double bytes);

private:
    void draw(bool force);

    bool m_enabled;
    std::string m_command;
    std::mutex m_mutex;
    std::string m_state;
    std::string m_counters;
    uint64_t m_bytes = 0;
    uint64_t m_payload_size = 0;
    bool m_finished = false;
    std::chrono::steady_clock::time_point m_started;
    std::chrono::steady_clock::time_point m_first_byte;
    std::chrono::steady_clock::time_point m_last_draw;
};

}  // namespace tqr

#endif
