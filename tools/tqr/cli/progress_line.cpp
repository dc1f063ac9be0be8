// Progress's line on a terminal: what it shows and how it is fitted to the terminal's width.
#include "cli/progress.h"

#include <sys/ioctl.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <string>

#include "cli/escape.h"

namespace tqr {

namespace {

// The terminal's width in columns (80 when it cannot be told).
size_t terminal_width() {
    winsize size{};
    if (ioctl(STDERR_FILENO, TIOCGWINSZ, &size) == 0 && size.ws_col > 0) return size.ws_col;
    return 80;
}

// The columns `text` takes: UTF-8 sequences counted as one.
size_t columns_of(const std::string& text) {
    size_t shown = 0;
    for (char c : text) shown += (static_cast<unsigned char>(c) & 0xC0) != 0x80;
    return shown;
}

// `line` cut to `columns` characters (UTF-8 sequences counted as one, never split).
std::string fit(const std::string& line, size_t columns) {
    size_t shown = 0;
    for (size_t i = 0; i < line.size(); ++i) {
        if ((static_cast<unsigned char>(line[i]) & 0xC0) == 0x80) continue;
        if (shown == columns) return line.substr(0, i);
        ++shown;
    }
    return line;
}

std::string duration_text(double seconds) {
    long whole = static_cast<long>(seconds + 0.5);
    char text[32];
    if (whole >= 3600) {
        snprintf(text, sizeof text, "%ldh%02ldm", whole / 3600, whole / 60 % 60);
    } else if (whole >= 60) {
        snprintf(text, sizeof text, "%ldm%02lds", whole / 60, whole % 60);
    } else {
        snprintf(text, sizeof text, "%lds", whole);
    }
    return text;
}

}  // namespace

std::string Progress::line(bool with_state) {
    std::string prefix = "tqr " + m_command + ": ";
    if (m_finished_text) return prefix + m_state;
    size_t room = terminal_width() - 1;
    if (columns_of(prefix) > room) return fit(prefix, room);
    if (m_under_way) return shares_line(prefix, room, with_state);
    // The fields from the most useful on; one that does not fit is left out whole, never cut.
    enum Kind { SHARE, FIGURE, WORDS };
    std::vector<std::pair<Kind, std::string>> fields;
    if (m_bytes > 0) {
        uint64_t at = m_base + m_bytes;
        bool one_payload = m_payload_size > 0 && at <= m_payload_size;
        if (one_payload) {
            char percent[16];
            snprintf(percent, sizeof percent, "%.0f%%", 100.0 * static_cast<double>(at) / static_cast<double>(m_payload_size));
            fields.emplace_back(SHARE, percent);
        }
        std::string bytes = human_bytes(static_cast<double>(at));
        if (one_payload) bytes += " of " + human_bytes(static_cast<double>(m_payload_size));
        fields.emplace_back(FIGURE, bytes);
        double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - m_first_byte).count();
        if (seconds > 0.5) {
            double rate = static_cast<double>(m_bytes) / seconds;
            fields.emplace_back(FIGURE, human_bytes(rate) + "/s");
            if (one_payload && rate > 0 && at < m_payload_size)
                fields.emplace_back(FIGURE, duration_text(static_cast<double>(m_payload_size - at) / rate) + " left");
        }
    }
    if (with_state) fields.emplace_back(WORDS, m_state);
    if (with_state && !m_counters.empty()) fields.emplace_back(WORDS, m_counters);
    std::string text = prefix;
    size_t used = columns_of(prefix);
    const std::pair<Kind, std::string>* last = nullptr;
    for (const auto& field : fields) {
        const char* separator = last == nullptr                                   ? ""
                                : last->first == SHARE && field.first == FIGURE   ? " "
                                : last->first != WORDS && field.first == FIGURE ? ", "
                                                                                  : " | ";
        size_t width = strlen(separator) + columns_of(field.second);
        if (used + width > room) continue;
        text += separator + field.second;
        used += width;
        last = &field;
    }
    return text;
}

std::string Progress::shares_line(std::string text, size_t room, bool with_state) {
    std::vector<std::string> links;
    for (const Share& share : m_under_way()) {
        std::string field;
        if (share.total > 0 && share.at <= share.total) {
            char percent[16];
            snprintf(percent, sizeof percent, "%.0f%%", 100.0 * static_cast<double>(share.at) / static_cast<double>(share.total));
            field = percent;
        } else {
            field = human_bytes(static_cast<double>(share.at));
        }
        field += " to " + escaped(share.peer);
        if (share.rate > 0) field += " at " + human_bytes(share.rate) + "/s";
        links.push_back(field);
    }
    // As many links as leave room for the counters and for how many more there are, in the order they
    // began; then the rest in that order, each left out whole when it does not fit.
    auto more = [&](size_t shown) {
        size_t left = links.size() - shown;
        if (left == 0) return std::string();
        if (shown > 0) return "and " + std::to_string(left) + " more";
        return "to " + std::to_string(left) + (left == 1 ? " endstation" : " endstations");
    };
    const std::string counters = with_state ? m_counters : std::string();
    size_t used = columns_of(text), shown = links.size();
    std::vector<size_t> upto{0};  // columns of the first i links with the separators between them
    for (const std::string& link : links) upto.push_back(upto.back() + (upto.size() > 1 ? 3 : 0) + columns_of(link));
    for (; shown > 0; --shown) {
        size_t width = upto[shown];
        for (const std::string& after : {more(shown), counters})
            if (!after.empty()) width += 3 + columns_of(after);
        if (used + width <= room) break;
    }
    std::vector<std::string> fields(links.begin(), links.begin() + static_cast<long>(shown));
    for (const std::string& after : {more(shown), counters, with_state ? m_state : std::string()})
        if (!after.empty()) fields.push_back(after);
    bool first = true;
    for (const std::string& field : fields) {
        size_t width = (first ? 0 : 3) + columns_of(field);
        if (used + width > room) continue;
        text += (first ? "" : " | ") + field;
        used += width;
        first = false;
    }
    return text;
}

}  // namespace tqr
