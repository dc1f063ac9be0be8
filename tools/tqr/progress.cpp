#include "tools/tqr/progress.h"

#include <unistd.h>

#include <cstdio>

namespace tqr {

namespace {

constexpr std::chrono::milliseconds kRedraw(100);  // the most often a line is redrawn or progress told

std::string json_string(const std::string& text) {
    std::string out = "\"";
    for (unsigned char byte : text) {
        if (byte >= 0x20 && byte != 0x7F && byte != '"' && byte != '\\') {
            out += static_cast<char>(byte);
            continue;
        }
        char escaped[8];
        snprintf(escaped, sizeof escaped, byte == '"' || byte == '\\' ? "\\%c" : "\\u%04x", byte);
        out += escaped;
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
    m_state = text;
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
    m_counters = text;
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

void Progress::note(const std::string& message) {
    std::lock_guard<std::mutex> guard(m_mutex);
    if (m_json) {
        emit("note", {{"message", message}});
        return;
    }
    std::string line = "tqr " + m_command + ": " + message;
    if (!m_enabled || m_finished) {
        fprintf(stderr, "%s\n", line.c_str());
        return;
    }
    fprintf(stderr, "\r\033[K%s\n", line.c_str());
    draw(true);
}

void Progress::finish(const std::string& text) {
    if (!m_enabled) return;
    std::lock_guard<std::mutex> guard(m_mutex);
    m_state = text;
    draw(true);
    fputc('\n', stderr);
    fflush(stderr);
    m_finished = true;
}

void Progress::fail(const std::string& text, const std::string& message, int status) {
    if (m_json) {
        std::lock_guard<std::mutex> guard(m_mutex);
        emit("error", {{"message", message}, {"exit", static_cast<double>(status)}});
        return;
    }
    bool drawn;
    {
        std::lock_guard<std::mutex> guard(m_mutex);
        drawn = !m_state.empty();
    }
    // A command that ends before it showed any state needs no status line to end.
    if (drawn) finish(text);
    if (!message.empty()) note(message);
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
    if (m_finished || m_state.empty()) return;
    auto now = std::chrono::steady_clock::now();
    if (!force && now - m_last_draw < kRedraw) return;
    m_last_draw = now;
    std::string line = "tqr " + m_command + ": " + m_state;
    if (!m_counters.empty()) line += " | " + m_counters;
    if (m_bytes > 0) {
        line += " | " + human_bytes(static_cast<double>(m_bytes));
        if (m_payload_size > 0 && m_bytes <= m_payload_size) line += " of " + human_bytes(static_cast<double>(m_payload_size));
        double seconds = std::chrono::duration<double>(now - m_first_byte).count();
        if (seconds > 0.05) line += ", " + human_bytes(static_cast<double>(m_bytes) / seconds) + "/s";
    }
    // Back to the line's start and clear it: the line only ever shows the latest state.
    fprintf(stderr, "\r\033[K%s", line.c_str());
    fflush(stderr);
}

}  // namespace tqr
