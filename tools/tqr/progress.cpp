#include "tools/tqr/progress.h"

#include <unistd.h>

#include <cstdio>


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

}  // namespace tqr
