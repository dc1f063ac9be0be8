// What `tqr send` and `tqr receive` show while they run, on standard error.
//
// For a person: one status line, redrawn in place and never wider than the terminal, shown only when
// standard error is a terminal, with the share done, the rate and the time left; lines of their own
// for what must not be missed, each clearing the status line first. When standard error is no
// terminal: those lines and one summary per transfer (summary()), nothing else.
// With --json instead: one JSON object per line, whatever standard error is, each with its "event":
//   code      code, command        send: the code to read out and the command that receives it
//   coordinator  port              send: no coordinator answered, so this process serves one
//   waiting   conference           joined, waiting for an endstation (send) or for the sender
//   nominated nickname             send: an endstation was nominated and approved
//   connected peer                 the library's key check passed and handed the link over
//   verified  peer                 both ends confirmed that they hold the same code or key
//   progress  bytes, total         receive: bytes moved so far; total 0: not known
//             peer, bytes, kept, total  send: one link's bytes moved so far, after the `kept` its
//                                  endstation had; each link's events at most ten a second
//   done      bytes, seconds       send: an endstation confirmed its copy; receive: the file is stored
//   note      message              what a person would read in a line of its own
//   error     message, exit        the command ends with that exit status
// Every text it is given, lines and JSON values alike, is shown escaped() (cli/escape.h), so
// callers pass a peer's or a file system's texts as they came.
// Owned by the command's main thread; any thread may call it (bridge callbacks run on library
// threads, several at once), since every call takes its lock.
#ifndef ZEL_TOOLS_TQR_CLI_PROGRESS_H
#define ZEL_TOOLS_TQR_CLI_PROGRESS_H

#include <chrono>
#include <cstdint>
#include <functional>
#include <initializer_list>
#include <mutex>
#include <string>
#include <vector>

namespace tqr {

// One field of a JSON event: a string, or a number.
struct JsonField {
    JsonField(const char* field, const std::string& text) : name(field), value(text), number(false) {}
    JsonField(const char* field, double count);
    const char* name;
    std::string value;
    bool number;
};

// One link under way of a command that serves several at once (send), as its status line shows it.
struct Share {
    std::string peer;
    uint64_t at;     // the payload's bytes its endstation holds, with those it kept from before
    uint64_t total;  // the payload's size; 0: not known
    double rate;     // bytes a second on this link alone; 0: too early to tell
};

class Progress {
public:
    // `command` starts every line ("send", "receive").
    Progress(const char* command, bool json);
    bool json() const { return m_json; }

    // The status line's protocol state, for a person only: "connecting on port 7201" ...
    void state(const std::string& text);
    // A step of the table above: `text` becomes the status line, or the event is printed.
    void step(const char* event, const std::string& text, std::initializer_list<JsonField> fields = {});
    // Bytes moved on all links together (`delta` more), and the size of one whole payload.
    void add_bytes(uint64_t delta, uint64_t payload_size);
    // For a command that serves several links: the status line shows each of `under_way()` in place
    // of figures of its own. It is called with the lock held, so it may take only a lock of its own
    // that comes after this one, and must call nothing of this object.
    void shares(std::function<std::vector<Share>()> under_way);
    // One link's bytes moved (`bytes` on the link, after `kept`): a redraw, or for --json a progress
    // event with its `peer`, the link's first and then at most one a tenth of a second, timed by the
    // link's own `last_told`.
    void link_moved(const std::string& peer, uint64_t bytes, uint64_t kept, uint64_t total,
                    std::chrono::steady_clock::time_point* last_told);
    // The bytes of the payload that were there before this transfer began (a continued file).
    void start_at(uint64_t offset);
    // Extra counters shown after the state ("served 3"), empty for none; a person's only.
    void counters(const std::string& text);
    // A line of its own, "tqr <command>: <message>" above the status line (whether or not that is
    // shown), or a note event; nothing once the final line or error was shown.
    void note(const std::string& message);
    // The last redraw, ending the status line; nothing is drawn afterwards.
    void finish(const std::string& text);
    // The end of the command with `status`: `message`, when not empty, in a line of its own that
    // alone says why (the status line keeps only its figures, if it had any); otherwise the status
    // line shows `text`. For --json an error event.
    void fail(const std::string& text, const std::string& message, int status);
    // One transfer done: a line of its own when the status line is not shown (nothing for --json,
    // whose done event says it); `text` starts "NAME: ...".
    void summary(const std::string& text);
    // The command's closing figures ("served 2 endstations, 1.0 MiB each") in a line of their own when
    // the status line is not shown, whose last text says them otherwise; nothing for --json.
    void totals(const std::string& text);
    // Asks the person on the terminal; true for yes. The status line is cleared and held meanwhile,
    // without holding the lock, so other threads (a signal's) can still write lines. The time the
    // answer takes counts in no rate or time left (asked_seconds()).
    bool ask(const std::string& question);
    // The seconds that questions held so far, for a caller that times a transfer itself.
    double asked_seconds();

    // Another writer's text on the terminal (the code on standard output): the status line is cleared,
    // `write` runs under the lock, so that no redraw comes in between, and the status line is drawn
    // again below what it wrote, which must end its line.
    void aside(const std::function<void()>& write);
    // The terminal lent to another writer for a while (a payload on standard output): the status line
    // is cleared and not drawn until give_back(). `at_line_start`: the other writer ended its last
    // line, so lines of this one need no line end before them.
    void lend();
    void give_back(bool at_line_start);

    // "12.3 MiB in 4.56 s, 2.7 MiB/s"
    static std::string rate_text(uint64_t bytes, double seconds);

    // "1.5 MiB" style.
    static std::string human_bytes(double bytes);

private:
    void draw(bool force);
    // The status line as it fits the terminal; with `with_state`, the state and counters after the figures.
    std::string line(bool with_state);
    // The line of a command with shares(): the links under way, as many as fit and how many more,
    // then the counters and the state.
    std::string shares_line(std::string text, size_t room, bool with_state);
    // Ends what the terminal's last line shows before a line of its own: the status line cleared, or
    // a question or another writer's text ended.
    void end_line();
    void emit(const char* event, std::initializer_list<JsonField> fields);

    bool m_enabled;  // the status line is drawn
    bool m_json;
    std::string m_command;
    std::mutex m_mutex;
    std::string m_state;
    std::string m_counters;
    std::function<std::vector<Share>()> m_under_way;
    uint64_t m_bytes = 0;
    uint64_t m_base = 0;
    uint64_t m_payload_size = 0;
    bool m_finished = false;
    bool m_held = false;  // a question is on the terminal
    bool m_lent = false;  // another writer has the terminal (lend())
    double m_asked = 0;   // seconds of questions so far
    bool m_finished_text = false;  // the last line: its text alone
    bool m_said_last = false;      // a final line or error was shown: notes from other threads are dropped
    std::chrono::steady_clock::time_point m_first_byte;
    std::chrono::steady_clock::time_point m_last_draw;
};

}  // namespace tqr

#endif
