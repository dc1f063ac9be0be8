#include "service/status.h"

#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <mutex>

#include "protocol/phrase.h"
#include "cli/commands.h"
#include "cli/escape.h"

namespace tqr {

namespace {

std::string status_value(const std::string& value) {
    bool bare = !value.empty() && std::all_of(value.begin(), value.end(), [](char c) {
        return c > ' ' && c < 0x7f && c != '"' && c != '=' && c != '\\';
    });
    if (bare) return value;
    // escaped() passes '"' on as it is, and no other byte that the quotes could not hold.
    std::string quoted = "\"";
    for (char c : escaped(value)) {
        if (c == '"') quoted += '\\';
        quoted += c;
    }
    return quoted + "\"";
}

}  // namespace

void write_status(const char* event, const std::vector<Field>& fields) {
    static std::mutex line_mutex;
    std::string line = event;
    for (const Field& field : fields) {
        line += ' ';
        line += field.key;
        line += '=';
        line += status_value(field.value);
    }
    line += '\n';
    std::lock_guard<std::mutex> guard(line_mutex);
    const char* at = line.data();
    size_t left = line.size();
    while (left > 0) {
        ssize_t written = ::write(STDERR_FILENO, at, left);
        if (written < 0 && errno == EINTR) continue;
        if (written <= 0) return;
        at += written;
        left -= static_cast<size_t>(written);
    }
}

std::string decimal(double value) {
    char text[32];
    snprintf(text, sizeof text, "%.1f", value);
    return text;
}

const char* role_name(int role) {
    return role == ROLE_SENDER ? "sender" : role == ROLE_ENDSTATION ? "endstation" : "unknown";
}

const char* coordinator_footer() {
    return "Standard error carries one status line per event, an event word then key=value fields:\n"
           "  rendezvous conference=ID nickname=NAME port=PORT outcome=ok|abandoned|port_in_use|failed ms=MS [cause=CAUSE]\n"
           "  dropped reason=REASON role=ROLE conference=ID nickname=NAME peer=ADDRESS:PORT detail=DETAIL\n"
           "  port_set_aside port=PORT conference=ID nickname=NAME seconds=S\n"
           "  rejected_sender conference=ID peer=ADDRESS:PORT reason=second_sender|remote_sender|foreign_conference\n"
           "  refused reason=max_parties|max_per_source count=N limit=L   (at most one a second)\n"
           "  status_dropped count=N   (lines a reader of standard error that did not read lost)\n"
           "dropped and rejected_sender: at most 20 lines a second; the rest are told once a second, a line\n"
           "per reason with count=N in place of the party's fields.\n"
           "A value holding a blank, '=', '\"', '\\' or a byte outside printable ASCII, or an empty one, is\n"
           "written in double quotes, with '\"' and '\\' escaped by '\\'; printable UTF-8 stays, other bytes\n"
           "(controls, bidirectional controls, invalid UTF-8) are written \\xHH.\n"
           "Notices (listening, stopping, stopped) are in the same form; --quiet hides them. Errors always show.\n"
           "\n"
           "With --metrics ADDRESS:PORT, GET /metrics serves the Prometheus text format and GET /healthz \"ok\":\n"
           "gauges tqr_parties, tqr_conferences, tqr_ports{state=free|lent|set_aside}; counters\n"
           "tqr_rendezvous_total{outcome}, tqr_parties_dropped_total{reason}, tqr_connections_refused_total,\n"
           "tqr_rejected_senders_total; histogram tqr_rendezvous_seconds. An address that cannot be bound: exit 1.\n"
           "\n"
           "On SIGTERM, SIGINT or SIGHUP it stops accepting at once, lets the rendezvous under way (those holding a lent\n"
           "port) finish for at most TQR_DRAIN_SECONDS (default 5; a second signal cuts it short), then ends every\n"
           "party's link and exits 0. A SIGINT or SIGHUP it was started with ignored (nohup) stays ignored.\n"
           "Limits: TQR_MAX_PARTIES (default 4096) parties at once, connections beyond it are closed at once;\n"
           "TQR_MAX_PARTIES_PER_SOURCE (default an eighth of it) from one address; endstations of one address\n"
           "wait in at most TQR_MAX_WAITING_CONFERENCES (default 16) conferences without a sender, a further\n"
           "one is dropped (reason=waiting_conferences); senders from another machine are turned away\n"
           "(reason=remote_sender: its endstations could not reach it) unless TQR_REMOTE_SENDERS=1;\n"
           "TQR_HANDSHAKE_TIMEOUT (default 10) seconds for a party's handshake; TQR_LISTEN_TIMEOUT (default 60)\n"
           "seconds for each answer a party owes in a rendezvous; TQR_SEND_TIMEOUT (default 10) seconds a write\n"
           "to a party may stall before the party is dropped.\n"
           "The open-file limit is raised to its hard limit, and max parties lowered to fit it.";
}

}  // namespace tqr
