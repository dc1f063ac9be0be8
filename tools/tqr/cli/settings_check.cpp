#include "cli/settings_check.h"

#include <cerrno>
#include <cstdlib>

#include "cli/escape.h"
#include "code/words.h"

namespace tqr {

namespace {

struct Range {
    const char* name;
    long low;
    long high;
};

// Timeouts stop at a day: beyond that a typo is likelier than a wish.
const Range kRanges[] = {
    // 0: the default, as when not set.
    {"TQR_COORDINATOR_PORT", 0, 65535},
    {"TQR_TOP_PORT", 0, 65535},
    {"TQR_LISTEN_TIMEOUT", 1, 86400},
    {"TQR_SEND_TIMEOUT", 1, 86400},
    {"TQR_HANDSHAKE_TIMEOUT", 1, 86400},
    {"TQR_KEYCHECK_TIMEOUT", 1, 86400},
    {"TQR_MAX_PARTIES", 0, 10000000},
    {"TQR_MAX_PARTIES_PER_SOURCE", 0, 10000000},
    {"TQR_MAX_WAITING_CONFERENCES", 0, 10000000},
    {"TQR_REMOTE_SENDERS", 0, 1},
    {"TQR_DRAIN_SECONDS", 0, 86400},
    {"TQR_MAX_THREADS", 1, 10000000},
    {"TQR_BATCH_THREADS", 0, 1},
    {"TQR_SO_SNDBUF", 0, 1L << 30},
    {"TQR_CODE_NAMEPLATES", 1, kMaxNameplate},
    {"TQR_CONFIRM_TIMEOUT", 1, 86400},
    {"TQR_STALL_TIMEOUT", 1, 86400},
    {"TQR_MAX_FAILED_CONFIRMATIONS", 1, 100000},
};

// The value of a set setting as a whole number in decimal, with nothing around it.
bool whole_number(const char* text, long* value) {
    if (*text == '\0') return false;
    char* end = nullptr;
    errno = 0;
    *value = strtol(text, &end, 10);
    return errno == 0 && *end == '\0' && (text[0] == '-' || (text[0] >= '0' && text[0] <= '9'));
}

}  // namespace

bool check_settings(std::string* error) {
    long values[sizeof kRanges / sizeof kRanges[0]];
    for (size_t i = 0; i < sizeof kRanges / sizeof kRanges[0]; ++i) {
        const Range& range = kRanges[i];
        values[i] = -1;
        const char* text = getenv(range.name);
        if (text == nullptr) continue;
        long value = 0;
        if (!whole_number(text, &value) || value < range.low || value > range.high) {
            *error = std::string(range.name) + "=\"" + escaped(text) + "\" is not a whole number from " +
                     std::to_string(range.low) + " to " + std::to_string(range.high);
            return false;
        }
        values[i] = value;
    }
    // The library lends the ports above the coordinator's up to the top one: 7220 when not set, and 20
    // ports when the top one does not lie above the coordinator's.
    long coordinator = values[0] > 0 ? values[0] : 7200;
    long top = values[1] > 0 ? values[1] : 7220;
    if (top <= coordinator && coordinator + 20 > 65535) {
        *error = "TQR_COORDINATOR_PORT=" + std::to_string(coordinator) +
                 " leaves no room for the lent ports above it: set TQR_TOP_PORT above it (at most 65535)";
        return false;
    }
    return true;
}

}  // namespace tqr
