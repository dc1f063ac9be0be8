// Framer: the reader's window, which cuts a NUL-framed byte stream into messages. Whatever pieces the
// socket delivers, each message comes out exactly once and whole, in stream order; a message longer
// than 997 bytes ends the stream. Owned by one reading thread; not thread-safe.
#ifndef ZEL_PROTOCOL_FRAMING_H
#define ZEL_PROTOCOL_FRAMING_H

#include <cstddef>
#include <cstring>

class Framer {
public:
    // Where the next read goes, and how many bytes it may bring.
    char* space() { return m_buffer + m_pending; }
    int room() const { return kWindow - m_pending; }

    // Takes `n` bytes just read into space(): calls deliver(text, length) for each message they end,
    // in order. `fragment` is set to the start of an unfinished message that follows the last one,
    // or null. false once the window holds more than a message may be: the stream must end.
    template <typename Deliver>
    bool take(int n, Deliver&& deliver, const char** fragment) {
        *fragment = nullptr;
        char* fresh = m_buffer + m_pending;
        fresh[n] = '\0';
        if (memchr(fresh, '\0', static_cast<size_t>(n)) == nullptr) {
            m_pending += n;
            return m_pending < kWindow;
        }
        char* end = fresh + n;
        char* piece = m_buffer;
        for (char* nul; piece < end && (nul = static_cast<char*>(memchr(piece, '\0', static_cast<size_t>(end - piece)))) != nullptr;
             piece = nul + 1)
            deliver(static_cast<const char*>(piece), static_cast<size_t>(nul - piece));
        m_pending = static_cast<int>(end - piece);
        if (m_pending > 0) {
            memmove(m_buffer, piece, static_cast<size_t>(m_pending));
            m_buffer[m_pending] = '\0';
            *fragment = m_buffer;
        }
        return true;
    }

    // Up to 997 bytes of a message, its terminator, and the NUL placed after each read.
    static constexpr int kWindow = 998;

private:
    char m_buffer[kWindow + 2];
    int m_pending = 0;
};

#endif
