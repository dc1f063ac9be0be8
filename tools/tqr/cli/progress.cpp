#include "cli/progress.h"

#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <vector>

#include "cli/escape.h"
#include "cli/prompt.h"

namespace tqr {

namespace {

constexpr std::chrono::milliseconds kRedraw(100);  // the most often a line is redrawn or progress told

// `text` as a JSON string: escaped() first, so that a reader gets what a terminal would show, then
// '"' and '\\' as JSON requires (escaped() leaves no other byte that JSON must escape).
std::string json_string(const std::string& text) {
    std::string out = "\"";
    for (char c : escaped(text)) {
        if (c == '"' || c == '\\') out += '\\';
        out += c;
    }
    return out + "\"";
}

}  // namespace

JsonField::JsonField(const char* field, double count) : name(field), number(true) {
    char text[32];
    snprintf(text, sizeof text, "%.15g", count);
    value = text;
}

Progress::Progress(const char* command, bool json)
    : m_enabled(!json && isatty(STDERR_FILENO) == 1), m_json(json), m_command(command) {}

void Progress::state(const std::string& text) {
    if (!m_enabled) return;
    std::lock_guard<std::mutex> guard(m_mutex);
    m_state = escaped(text);
    draw(true);
}

void Progress::step(const char* event, const std::string& text, std::initializer_list<JsonField> fields) {
    if (m_json) {
        std::lock_guard<std::mutex> guard(m_mutex);
        emit(event, fields);
        return;
    }
    if (!text.empty()) state(text);
}

void Progress::counters(const std::string& text) {
    if (!m_enabled) return;
    std::lock_guard<std::mutex> guard(m_mutex);
    m_counters = escaped(text);
    draw(true);
}

void Progress::add_bytes(uint64_t delta, uint64_t payload_size) {
    if (!m_enabled && !m_json) return;
    std::lock_guard<std::mutex> guard(m_mutex);
    bool first = m_bytes == 0;
    if (first) m_first_byte = std::chrono::steady_clock::now();
    m_bytes += delta;
    m_payload_size = payload_size;
    if (!m_json) {
        draw(false);
        return;
    }
    auto now = std::chrono::steady_clock::now();
    if (!first && now - m_last_draw < kRedraw) return;
    m_last_draw = now;
    emit("progress", {{"bytes", static_cast<double>(m_bytes)}, {"total", static_cast<double>(payload_size)}});
}

void Progress::shares(std::function<std::vector<Share>()> under_way) {
    std::lock_guard<std::mutex> guard(m_mutex);
    m_under_way = std::move(under_way);
}

void Progress::link_moved(const std::string& peer, uint64_t bytes, uint64_t kept, uint64_t total,
                          std::chrono::steady_clock::time_point* last_told) {
    if (!m_enabled && !m_json) return;
    std::lock_guard<std::mutex> guard(m_mutex);
    if (!m_json) {
        draw(false);
        return;
    }
    auto now = std::chrono::steady_clock::now();
    if (*last_told != std::chrono::steady_clock::time_point() && now - *last_told < kRedraw) return;
    *last_told = now;
    emit("progress", {{"peer", peer}, {"bytes", static_cast<double>(bytes)}, {"kept", static_cast<double>(kept)},
                      {"total", static_cast<double>(total)}});
}

void Progress::start_at(uint64_t offset) {
    std::lock_guard<std::mutex> guard(m_mutex);
    m_base = offset;
}

void Progress::summary(const std::string& text) {
    if (m_json) return;
    std::lock_guard<std::mutex> guard(m_mutex);
    end_line();
    fprintf(stderr, "tqr %s: %s\n", m_command.c_str(), escaped(text).c_str());
    if (m_enabled) draw(true);
    fflush(stderr);
}

void Progress::totals(const std::string& text) {
    if (m_json || m_enabled) return;
    std::lock_guard<std::mutex> guard(m_mutex);
    fprintf(stderr, "tqr %s: %s\n", m_command.c_str(), escaped(text).c_str());
    fflush(stderr);
}

bool Progress::ask(const std::string& question) {
    FILE* terminal = fopen("/dev/tty", "r+");
    if (terminal == nullptr) return false;
    std::chrono::steady_clock::time_point asked;
    {
        std::lock_guard<std::mutex> guard(m_mutex);
        if (m_enabled && !m_lent) fprintf(stderr, "\r\033[K");
        fflush(stderr);
        m_held = true;
        asked = std::chrono::steady_clock::now();
    }
    fprintf(terminal, "tqr %s: %s [y/N] ", m_command.c_str(), escaped(question).c_str());
    fflush(terminal);
    char answer[64] = "";
    // An interrupt ends the question unanswered: the command is ending, and its last line ends the
    // question's line.
    bool answered = wait_for_answer(fileno(terminal));
    bool yes = answered && fgets(answer, sizeof answer, terminal) != nullptr && (answer[0] == 'y' || answer[0] == 'Y');
    fclose(terminal);
    if (!answered) return false;
    std::lock_guard<std::mutex> guard(m_mutex);
    m_held = false;
    // The clock stops while a person thinks: the rate and the time left are the link's.
    std::chrono::steady_clock::duration held = std::chrono::steady_clock::now() - asked;
    m_asked += std::chrono::duration<double>(held).count();
    if (m_bytes > 0) m_first_byte += held;
    draw(true);
    return yes;
}

double Progress::asked_seconds() {
    std::lock_guard<std::mutex> guard(m_mutex);
    return m_asked;
}

void Progress::aside(const std::function<void()>& write) {
    std::lock_guard<std::mutex> guard(m_mutex);
    if (m_enabled && !m_finished && !m_held && !m_lent) {
        fprintf(stderr, "\r\033[K");
        fflush(stderr);
    }
    write();
    draw(true);
}

void Progress::lend() {
    std::lock_guard<std::mutex> guard(m_mutex);
    if (m_enabled && !m_finished && !m_held && !m_lent) {
        fprintf(stderr, "\r\033[K");
        fflush(stderr);
    }
    m_lent = true;
}

void Progress::give_back(bool at_line_start) {
    std::lock_guard<std::mutex> guard(m_mutex);
    if (!m_lent) return;
    m_lent = false;
    if (m_enabled && !at_line_start) fputc('\n', stderr);
    draw(true);
}

void Progress::end_line() {
    if (!m_enabled || m_finished) return;
    if (m_held || m_lent) {
        // The other writer's line (a question, a payload) is left as it is, ended.
        fputc('\n', stderr);
    } else if (!m_state.empty()) {
        fprintf(stderr, "\r\033[K");
    }
}

std::string Progress::rate_text(uint64_t bytes, double seconds) {
    char text[64];
    snprintf(text, sizeof text, " in %.2f s", seconds);
    std::string line = human_bytes(static_cast<double>(bytes)) + text;
    if (seconds > 0) line += ", " + human_bytes(static_cast<double>(bytes) / seconds) + "/s";
    return line;
}

void Progress::note(const std::string& message) {
    std::lock_guard<std::mutex> guard(m_mutex);
    if (m_said_last) return;
    if (m_json) {
        emit("note", {{"message", message}});
        return;
    }
    std::string line = "tqr " + m_command + ": " + escaped(message);
    end_line();
    fprintf(stderr, "%s\n", line.c_str());
    draw(true);
    fflush(stderr);
}

void Progress::finish(const std::string& text) {
    if (!m_enabled) return;
    std::lock_guard<std::mutex> guard(m_mutex);
    if (m_finished) return;
    if (m_held || m_lent) end_line();
    m_held = m_lent = false;
    m_state = escaped(text);
    m_finished_text = true;
    draw(true);
    fputc('\n', stderr);
    fflush(stderr);
    m_finished = true;
    m_said_last = true;
}

void Progress::fail(const std::string& text, const std::string& message, int status) {
    if (m_json) {
        std::lock_guard<std::mutex> guard(m_mutex);
        emit("error", {{"message", message}, {"exit", static_cast<double>(status)}});
        m_said_last = true;
        return;
    }
    if (message.empty()) {
        bool drawn;
        {
            std::lock_guard<std::mutex> guard(m_mutex);
            drawn = !m_state.empty();
        }
        // A command that ends before it showed any state needs no status line to end.
        if (drawn) finish(text);
        return;
    }
    // One line says why: the status line keeps its figures, if any, but not a state that would say
    // the same again.
    std::lock_guard<std::mutex> guard(m_mutex);
    if (m_enabled && !m_finished && !m_held && !m_lent && m_bytes > 0 && !m_state.empty()) {
        fprintf(stderr, "\r\033[K%s\n", line(false).c_str());
    } else {
        end_line();
    }
    m_finished = true;
    m_said_last = true;
    fprintf(stderr, "tqr %s: %s\n", m_command.c_str(), escaped(message).c_str());
    fflush(stderr);
}

std::string Progress::human_bytes(double bytes) {
    static const char* const units[] = {"B", "KiB", "MiB", "GiB", "TiB"};
    int unit = 0;
    while (bytes >= 1024.0 && unit < 4) {
        bytes /= 1024.0;
        ++unit;
    }
    char text[32];
    snprintf(text, sizeof text, unit == 0 ? "%.0f %s" : "%.1f %s", bytes, units[unit]);
    return text;
}

void Progress::emit(const char* event, std::initializer_list<JsonField> fields) {
    std::string line = "{\"event\":" + json_string(event);
    for (const JsonField& field : fields)
        line += "," + json_string(field.name) + ":" + (field.number ? field.value : json_string(field.value));
    fprintf(stderr, "%s}\n", line.c_str());
    fflush(stderr);
}

void Progress::draw(bool force) {
    if (m_finished || m_held || m_lent || m_state.empty()) return;
    auto now = std::chrono::steady_clock::now();
    if (!force && now - m_last_draw < kRedraw) return;
    m_last_draw = now;
    // Back to the line's start and clear it: the line only ever shows the latest state, and never
    // wraps (a wrapped line could not be cleared), except the last one, which is never redrawn.
    fprintf(stderr, "\r\033[K%s", line(true).c_str());
    fflush(stderr);
}

}  // namespace tqr
