#include "tools/tqr/progress.h"

#include <unistd.h>

#include <cstdio>

#include "common/logmsg.h"

namespace tqr {

Progress::Progress(const char* command)
    : m_enabled(isatty(STDERR_FILENO) == 1),
      m_command(command),
      m_started(std::chrono::steady_clock::now()) {}

void Progress::state(const std::string& text) {
    if (!m_enabled) return;
    std::lock_guard<std::mutex> guard(m_mutex);
    m_state = text;
    draw(true);
}

void Progress::counters(const std::string& text) {
    if (!m_enabled) return;
    std::lock_guard<std::mutex> guard(m_mutex);
    m_counters = text;
    draw(true);
}

void Progress::add_bytes(uint64_t delta, uint64_t payload_size) {
    if (!m_enabled) return;
    std::lock_guard<std::mutex> guard(m_mutex);
    if (m_bytes == 0) m_first_byte = std::chrono::steady_clock::now();
    m_bytes += delta;
    m_payload_size = payload_size;
    draw(false);
}

void Progress::note(const std::string& line) {
    std::lock_guard<std::mutex> guard(m_mutex);
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

void Progress::draw(bool force) {
    if (m_finished) return;
    auto now = std::chrono::steady_clock::now();
    if (!force && now - m_last_draw < std::chrono::milliseconds(100)) return;
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

LogTap::LogTap(LineFunction on_line) : m_on_line(std::move(on_line)) {
    std::lock_guard<std::mutex> guard(zel::logmsg_mutex());
    if (!g_logmsg.is_open()) g_logmsg.open("/dev/null");
    // The file stays open, so the library keeps writing; the text comes here instead of the file.
    m_saved = g_logmsg.std::ios::rdbuf(this);
}

LogTap::~LogTap() {
    std::lock_guard<std::mutex> guard(zel::logmsg_mutex());
    g_logmsg.std::ios::rdbuf(m_saved);
    g_logmsg.close();
}

int LogTap::overflow(int c) {
    if (c == traits_type::eof()) return traits_type::not_eof(c);
    if (c == '\n') {
        m_on_line(m_line);
        m_line.clear();
    } else {
        m_line.push_back(static_cast<char>(c));
    }
    return c;
}

std::streamsize LogTap::xsputn(const char* text, std::streamsize count) {
    for (std::streamsize i = 0; i < count; ++i) overflow(static_cast<unsigned char>(text[i]));
    return count;
}

}  // namespace tqr
