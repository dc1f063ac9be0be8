#include "cli/prompt.h"

#include <fcntl.h>
#include <poll.h>
#include <termios.h>
#include <unistd.h>

#include <atomic>
#include <cctype>
#include <cerrno>
#include <cstdio>
#include <mutex>
#include <vector>

#include "code/words.h"
#include "net/socket.h"

namespace tqr {

namespace {

const char kPrompt[] = "Code (Tab completes a word): ";
constexpr size_t kMostChoicesShown = 40;
constexpr char kInterrupt = 3, kEndOfInput = 4, kBackspace = 8, kKillLine = 21, kDelete = 127;

// The terminal's settings from before the prompt, while it is up: the prompting thread sets and
// clears them, and a thread that ends the process meanwhile puts them back (put_terminal_back).
struct SavedTerminal {
    std::mutex mutex;  // guards the rest; taken alone
    bool raw = false;
    termios saved{};
    int out = -1;  // where the prompt is shown
};

SavedTerminal g_saved;

std::atomic<bool> g_prompts_ended{false};

// Readable, and so for good, once put_terminal_back() ended the prompts: nothing reads its byte.
const int* ended_pipe() {
    static int fds[2] = {-1, -1};
    static bool made = pipe2(fds, O_CLOEXEC) == 0;
    (void)made;
    return fds;
}

// The terminal without line editing, echo or signal keys for as long as this lives, so that Tab and
// every other key come here; put back as it was however the prompt ends.
class RawTerminal {
public:
    explicit RawTerminal(FILE* out) {
        std::lock_guard<std::mutex> guard(g_saved.mutex);
        termios saved{};
        m_ok = tcgetattr(STDIN_FILENO, &saved) == 0;
        termios raw = saved;
        raw.c_lflag &= ~static_cast<tcflag_t>(ICANON | ECHO | ISIG);
        raw.c_cc[VMIN] = 1;
        raw.c_cc[VTIME] = 0;
        m_ok = m_ok && tcsetattr(STDIN_FILENO, TCSAFLUSH, &raw) == 0;
        g_saved.raw = m_ok;
        g_saved.saved = saved;
        g_saved.out = fileno(out);
    }
    ~RawTerminal() {
        std::lock_guard<std::mutex> guard(g_saved.mutex);
        if (g_saved.raw) tcsetattr(STDIN_FILENO, TCSAFLUSH, &g_saved.saved);
        g_saved.raw = false;
    }
    RawTerminal(const RawTerminal&) = delete;
    RawTerminal& operator=(const RawTerminal&) = delete;
    bool ok() const { return m_ok; }

private:
    bool m_ok = false;
};

void redraw(FILE* out, const std::string& line) {
    fprintf(out, "\r\033[K%s%s", kPrompt, line.c_str());
    fflush(out);
}

// Tab: the line completed, or the words it could be shown below it.
std::string complete(FILE* out, const std::string& line) {
    std::vector<std::string> choices;
    std::string completed = complete_code(line, &choices);
    if (!choices.empty()) {
        std::string shown;
        for (size_t i = 0; i < choices.size() && i < kMostChoicesShown; ++i) shown += choices[i] + " ";
        if (choices.size() > kMostChoicesShown) shown += "...";
        fprintf(out, "\r\n%s\r\n", shown.c_str());
    }
    redraw(out, completed);
    return completed;
}

CodeRead read_from_terminal(FILE* out, std::string* typed) {
    RawTerminal terminal(out);
    if (!terminal.ok()) return CODE_NONE;
    std::string line;
    redraw(out, line);
    for (;;) {
        char c = 0;
        // Ended from another thread: its last line follows at once, on the line put_terminal_back ended.
        if (!wait_for_answer(STDIN_FILENO)) return CODE_INTERRUPTED;
        ssize_t n = read(STDIN_FILENO, &c, 1);
        if (n < 0 && errno == EINTR) continue;
        bool done = c == '\r' || c == '\n';
        if (n <= 0 || c == kInterrupt || (c == kEndOfInput && line.empty()) || done) {
            fputs("\r\n", out);
            fflush(out);
            *typed = line;
            if (n > 0 && c == kInterrupt) return CODE_INTERRUPTED;
            return n > 0 && done ? CODE_TYPED : CODE_NONE;
        }
        if (c == kDelete || c == kBackspace) {
            if (!line.empty()) line.pop_back();
            redraw(out, line);
        } else if (c == kKillLine) {
            line.clear();
            redraw(out, line);
        } else if (c == '\t') {
            line = complete(out, line);
        } else if (isprint(static_cast<unsigned char>(c))) {
            line += c;
            fputc(c, out);
            fflush(out);
        }
    }
}

}  // namespace

CodeRead read_code(std::string* typed) {
    if (isatty(STDIN_FILENO) == 1) {
        // The prompt goes to the terminal itself: standard error may carry --json lines.
        FILE* out = fopen("/dev/tty", "w");
        CodeRead read = read_from_terminal(out ? out : stderr, typed);
        if (out) fclose(out);
        return read;
    }
    std::string line;
    int c;
    while ((c = getchar()) != EOF && c != '\n') line += static_cast<char>(c);
    if (!line.empty() && line.back() == '\r') line.pop_back();
    *typed = line;
    return c != EOF || !line.empty() ? CODE_TYPED : CODE_NONE;
}

bool wait_for_answer(int fd) {
    pollfd fds[2] = {{fd, POLLIN, 0}, {ended_pipe()[0], POLLIN, 0}};
    // A failed wait leaves the read to tell.
    return net::wait_any(fds, 2, -1) <= 0 || fds[1].revents == 0;
}

bool prompts_ended() { return g_prompts_ended.load(); }

void put_terminal_back() {
    // The terminal first, with the prompt's line ended, and only then the prompt: woken first, it
    // would put the terminal back itself and leave its line open for the next one to run on.
    {
        std::lock_guard<std::mutex> guard(g_saved.mutex);
        if (g_saved.raw) {
            tcsetattr(STDIN_FILENO, TCSAFLUSH, &g_saved.saved);
            g_saved.raw = false;
            // The process is ending: a line end that does not get through changes nothing.
            ssize_t written = write(g_saved.out, "\r\n", 2);
            (void)written;
        }
    }
    g_prompts_ended.store(true);
    ssize_t ended = write(ended_pipe()[1], "", 1);
    (void)ended;
}

}  // namespace tqr
