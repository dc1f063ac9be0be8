#include "protocol/settings.h"

#include <netdb.h>
#include <netinet/in.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "common/zel_common.h"

namespace {

// Looks a service up and writes its two lines. The port in host byte order, or 0 when not found.
int service_port(const char* name) {
    servent entry{};
    servent* found = nullptr;
    char buffer[1024];
    getservbyname_r(name, nullptr, &entry, buffer, sizeof buffer, &found);
    zel_inform(stderr, "getservbyname returned = %x\n", static_cast<unsigned>(reinterpret_cast<uintptr_t>(found)));
    if (found == nullptr) return 0;
    int port = ntohs(static_cast<uint16_t>(found->s_port));
    zel_inform(stderr, "servent returned port = %d %d\n", static_cast<int>(static_cast<int16_t>(found->s_port)), port);
    return port;
}

// The setting `name` as a whole number from `low` to `high`, or `fallback` when it is none: set in the
// environment, it must be exactly that in decimal ("1e9" or "99999999999" is a slip, and a port past
// 65535 would size the pool, which is built when the library loads, by it); not set, it is the
// default a host gave (zel_env_set_default), read as before.
long number(const char* name, long low, long high, long fallback) {
    const char* text = getenv(name);
    long value = 0;
    if (text == nullptr) {
        value = zel_env_get_int(name);
    } else {
        char* end = nullptr;
        errno = 0;
        value = strtol(text, &end, 10);
        bool whole = *text != '\0' && errno == 0 && *end == '\0' && (*text == '-' || (*text >= '0' && *text <= '9'));
        if (!whole) return fallback;
    }
    return value >= low && value <= high ? value : fallback;
}

void read_ports(zel::Settings* out) {
    zel_env_set_default("TQR_COORDINATOR_PORT", "0");
    zel_env_set_default("TQR_TOP_PORT", "0");
    out->coordinator_port = static_cast<int>(number("TQR_COORDINATOR_PORT", 0, 65535, 0));
    out->top_port = static_cast<int>(number("TQR_TOP_PORT", 0, 65535, 0));
    if (out->coordinator_port == 0) {
        if (int port = service_port("zeltqr")) out->coordinator_port = port;
        if (int port = service_port("zeltqrtop")) out->top_port = port;
    } else {
        zel_inform(stderr, "m_coord_port=%d\n", out->coordinator_port);
    }
    if (out->coordinator_port == 0) out->coordinator_port = 7200;
    if (out->top_port == 0) out->top_port = 7220;
    if (out->top_port <= out->coordinator_port) out->top_port = std::min(out->coordinator_port + 20, 65535);
}

// The setting, or `fallback` when it is not a number above `below`.
int setting(const char* name, const char* fallback, int below = 0) {
    zel_env_set_default(name, fallback);
    return static_cast<int>(number(name, static_cast<long>(below) + 1, INT_MAX, atoi(fallback)));
}

zel::Settings read_settings() {
    zel::Settings out{};
    read_ports(&out);
    out.listen_timeout = setting("TQR_LISTEN_TIMEOUT", "60");
    out.send_timeout = setting("TQR_SEND_TIMEOUT", "10");
    out.handshake_timeout = setting("TQR_HANDSHAKE_TIMEOUT", "10");
    out.keycheck_timeout = setting("TQR_KEYCHECK_TIMEOUT", "5");
    out.max_parties = setting("TQR_MAX_PARTIES", "4096", -1);
    out.drain_seconds = setting("TQR_DRAIN_SECONDS", "5", -1);
    out.max_threads = setting("TQR_MAX_THREADS", "16384");
    out.batch_threads = setting("TQR_BATCH_THREADS", "1", -1) != 0;
    out.max_parties_per_source = setting("TQR_MAX_PARTIES_PER_SOURCE", "0", -1);
    out.max_waiting_conferences = setting("TQR_MAX_WAITING_CONFERENCES", "16");
    out.remote_senders = setting("TQR_REMOTE_SENDERS", "0", -1) != 0;
    out.so_sndbuf = static_cast<int>(number("TQR_SO_SNDBUF", 0, 1L << 30, 0));
    return out;
}

}  // namespace

const zel::Settings& zel::settings() {
    static const Settings read = read_settings();
    return read;
}
