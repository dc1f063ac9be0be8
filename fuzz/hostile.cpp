#include "hostile.h"

#include <unistd.h>

#include <algorithm>

namespace zel_fuzz {

namespace {

using harness::milliseconds;

std::string text_of(const void* party) { return party ? Cookie::of(party).text() : std::string(); }

}  // namespace

std::string Moves::nickname() {
    switch (range(0, 4)) {
    case 0: return "raw";
    case 1: return std::string(kLongestNickname, 'n');
    case 2: return std::string(kLongestNickname + 1, 'n');
    case 3: return std::string(range<size_t>(kLongestNickname - 8, kLongestMessage), 'n');
    default: return m_in.ConsumeRandomLengthString(64);
    }
}

std::string Moves::cookie() {
    switch (range(0, 7)) {
    case 0: return text_of(m_known.sender);
    case 1: return text_of(m_known.endstation);
    case 2: return text_of(m_known.own ? m_known.own() : nullptr);
    case 3: return m_hostile.last.cookie;
    case 4: return m_hostile.heard[MSG_NOMINATE].cookie;
    case 5: return Cookie::of(reinterpret_cast<const void*>(m_in.ConsumeIntegral<uintptr_t>())).text();
    case 6: return std::string();
    default: return m_in.ConsumeRandomLengthString(20);
    }
}

// The info after a message's head of `head` bytes and its blank.
std::string Moves::info(size_t head) {
    const size_t fits = kLongestMessage > head + 1 ? kLongestMessage - head - 1 : 0;
    switch (range(0, 5)) {
    case 0: return std::string();
    case 1: return m_hostile.last.info;
    case 2: return std::to_string(harness::coordinator_port() + range(1, harness::pool_top() - harness::coordinator_port()));
    case 3: return std::string(fits, 'i');      // as long as a reader takes
    case 4: return std::string(fits + 1, 'i');  // one byte longer
    default: return m_in.ConsumeRandomLengthString(64);
    }
}

void Moves::named_message() {
    const std::string head = g_message_names[range(0, g_message_count - 1)] + cookie();
    if (m_in.ConsumeBool()) return m_hostile.say(head);  // no blank: no info at all
    m_hostile.say(head + " " + info(head.size()));
}

// One message of the kinds a party repeats, hundreds of times in one burst.
void Moves::repeat() {
    static const int kRepeated[] = {MSG_CONNECTED, MSG_APPROVE, MSG_SENDER_HAPPY, MSG_LISTENING, MSG_PORT_IN_USE, MSG_FAILED};
    const int type = kRepeated[range(0, 5)];
    const std::string about = m_in.ConsumeBool() ? m_hostile.last.cookie : cookie();
    const std::string one = g_message_names[type] + about + " " + m_hostile.last.info + std::string(1, '\0');
    std::string burst;
    for (int i = range(2, 300); i > 0; --i) burst += one;
    m_hostile.put(burst);
}

void Moves::flood() {
    const size_t size = range<size_t>(1, 64 * 1024);
    switch (range(0, 2)) {
    case 0: return m_hostile.put(std::string(size, '\0'));  // empty messages
    case 1: return m_hostile.put(std::string(size, 'x'));   // one message without end
    default: {
        std::string pattern = m_in.ConsumeRandomLengthString(32) + std::string(1, '\0');
        std::string bytes;
        while (bytes.size() < size) bytes += pattern;
        m_hostile.put(bytes);
    }
    }
}

// Reaches the last port heard with a forged key frame, as an intruder would.
void Moves::knock() {
    const std::string frame = m_in.ConsumeRandomLengthString(24) + (m_in.ConsumeBool() ? std::string(1, '\0') : std::string());
    const int port = port_of(m_hostile.last.info);
    if (!harness::in_pool(port)) return;
    int fd = harness::connect_to(port);
    if (fd < 0) return;
    send(fd, frame.data(), frame.size(), MSG_NOSIGNAL);
    close(fd);
}

void Moves::play(int max_moves, int budget_ms) {
    for (int op = 0; op < max_moves && m_in.remaining_bytes() > 0 && m_hostile.link.fd() >= 0; ++op) {
        switch (range(0, 9)) {
        case 0: case 1: case 2: named_message(); break;
        case 3: repeat(); break;
        case 4: flood(); break;
        case 5: {
            const int wait = std::min(budget_ms, range(0, 10));
            budget_ms -= wait;
            m_hostile.hear(milliseconds(wait));
            break;
        }
        case 6: knock(); break;
        case 7: m_helper.hear(milliseconds(0)); break;
        case 8: m_hostile.hear(milliseconds(0)); break;
        default: m_hostile.link.hang_up(); break;
        }
    }
}

}  // namespace zel_fuzz
