#include "tools/tqr/prompt.h"

#include <termios.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <cstdio>
#include <vector>

#include "tools/tqr/words.h"

namespace tqr {

namespace {

const char kPrompt[] = "Code (Tab completes a word): ";
constexpr size_t kMostChoicesShown = 40;
constexpr char kInterrupt = 3, kEndOfInput = 4, kBackspace = 8, kKillLine = 21, kDelete = 127;

// The terminal without line editing, echo or signal keys for as long as this lives, so that Tab and
// every other key come here; put back as it was however the prompt ends.
class RawTerminal {
public:
    RawTerminal() {
        m_ok = tcgetattr(STDIN_FILENO, &m_saved) == 0;
        termios raw = m_saved;
        raw.c_lflag &= ~static_cast<tcflag_t>(ICANON | ECHO | ISIG);
        raw.c_cc[VMIN] = 1;
        raw.c_cc[VTIME] = 0;
        m_ok = m_ok && tcsetattr(STDIN_FILENO, TCSAFLUSH, &raw) == 0;
    }
    ~RawTerminal() {
        if (m_ok) tcsetattr(STDIN_FILENO, TCSAFLUSH, &m_saved);
    }
    RawTerminal(const RawTerminal&) = delete;
    RawTerminal& operator=(const RawTerminal&) = delete;
    bool ok() const { return m_ok; }

private:
    termios m_saved{};
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

bool read_from_terminal(FILE* out, std::string* typed) {
    RawTerminal terminal;
    if (!terminal.ok()) return false;
    std::string line;
    redraw(out, line);
    for (;;) {
        char c = 0;
        ssize_t n = read(STDIN_FILENO, &c, 1);
        if (n < 0 && errno == EINTR) continue;
        bool done = c == '\r' || c == '\n';
        if (n <= 0 || c == kInterrupt || (c == kEndOfInput && line.empty()) || done) {
            fputs("\r\n", out);
            fflush(out);
            *typed = line;
            return n > 0 && done;
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

bool read_code(std::string* typed) {
    if (isatty(STDIN_FILENO) == 1) {
        // The prompt goes to the terminal itself: standard error may carry --json lines.
        FILE* out = fopen("/dev/tty", "w");
        bool read = read_from_terminal(out ? out : stderr, typed);
        if (out) fclose(out);
        return read;
    }
    std::string line;
    int c;
    while ((c = getchar()) != EOF && c != '\n') line += static_cast<char>(c);
    if (!line.empty() && line.back() == '\r') line.pop_back();
    *typed = line;
    return c != EOF || !line.empty();
}

}  // namespace tqr
