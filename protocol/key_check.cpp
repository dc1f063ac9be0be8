#include "protocol/key_check.h"

#include <cstring>

#include "common/zel_common.h"
#include "protocol/clock.h"
#include "protocol/connection.h"

namespace {

constexpr char kHidden = static_cast<char>(0xFF);

}  // namespace

std::string zel::masked_key_frame(const std::string& key, bool sender) {
    std::string frame(key.c_str(), key.size() + 1);
    for (size_t i = sender ? 1 : 0; i < key.size(); i += 2) frame[i] = kHidden;
    return frame;
}

bool zel::KeyFrameReader::take(int n) {
    if (m_done) return true;
    if (n <= 0) {
        if (m_got == 0) m_failed = n;
        return m_done = true;
    }
    bool ended = memchr(&m_frame[m_got], '\0', static_cast<size_t>(n)) != nullptr;
    m_got += static_cast<size_t>(n);
    return m_done = ended || m_got == m_frame.size();
}

int zel::judge_key_frame(const std::string& key, bool sender, const char* frame, int count) {
    const int length = static_cast<int>(key.size());
    if (count != length + 1) {
        zel_error("TQR: keys different length incoming = %d local=%d\n", count - 1, length);
        return 0;
    }
    if (frame[length] != '\0') {
        zel_error("TQR: keys different length incoming longer than local=%d\n", length);
        return 0;
    }
    if (memchr(frame, '\0', static_cast<size_t>(length)) != nullptr) {
        zel_error("TQR: incoming key ends before local=%d\n", length);
        return 0;
    }
    // The characters the peer hid are taken from our own key: only the revealed half decides.
    for (int i = sender ? 1 : 0; i < length; i += 2) {
        if (frame[i] != key[static_cast<size_t>(i)]) {
            zel_error("TQR: keys do not match\n");
            return 0;
        }
    }
    zel_inform(stderr, "keys match\n");
    return 1;
}

void zel::send_key_frame(Connection& conn, const std::string& key, bool sender) {
    zel_inform(stderr, "comparing keys %s\n", key.c_str());
    std::string mine = masked_key_frame(key, sender);
    conn.send(mine.data(), static_cast<int>(mine.size()));
}

int zel::read_key_frame(Connection& conn, const std::string& key, bool sender, double timeout) {
    KeyFrameReader reader(key.size());
    double until = zel::now() + timeout;
    bool done = false;
    while (!done) {
        double left = until - zel::now();
        if (left <= 0 || !conn.wait_readable(static_cast<int>(left * 1000.0) + 1)) {
            done = reader.take(-1);
            break;
        }
        done = reader.take(conn.recv(reader.space(), reader.room()));
    }
    return judge_key_frame(key, sender, reader.frame(), reader.count());
}

int zel::check_keys_on(Connection& conn, const std::string& key, bool sender, double timeout) {
    send_key_frame(conn, key, sender);
    return read_key_frame(conn, key, sender, timeout);
}
