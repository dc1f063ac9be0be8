// The key check that both ends of a direct link run: each sends its key with every other character
// hidden (0xFF) and a NUL, one frame of exactly L + 1 bytes, and checks the characters the other side
// revealed. The sender reveals the even indices, the endstation the odd ones. Pure functions over a
// key and the bytes read, plus one blocking run over a Connection; any thread, many links at once.
#ifndef ZEL_PROTOCOL_KEY_CHECK_H
#define ZEL_PROTOCOL_KEY_CHECK_H

#include <string>

class Connection;

namespace zel {

// This side's frame: L + 1 bytes.
std::string masked_key_frame(const std::string& key, bool sender);

// Collects the peer's frame from reads in any pieces: until its NUL or its L + 1 bytes, whichever
// comes first, and nothing beyond it.
class KeyFrameReader {
public:
    explicit KeyFrameReader(size_t key_length) : m_frame(key_length + 1, '\0') {}
    // Where the next read goes and how much it may take.
    char* space() { return &m_frame[m_got]; }
    int room() const { return static_cast<int>(m_frame.size() - m_got); }
    // Takes the result of one read (`n` bytes, or 0 / negative when the link ended or failed).
    // true once the frame is complete or can never be.
    bool take(int n);
    // The count judge() is given: the bytes read, or the failing read's result when none were.
    int count() const { return m_got > 0 ? static_cast<int>(m_got) : m_failed; }
    const char* frame() const { return m_frame.data(); }

private:
    std::string m_frame;
    size_t m_got = 0;
    int m_failed = 0;
    bool m_done = false;
};

// Judges the peer's frame (`count` bytes read, as KeyFrameReader::count gives it) against `key` from
// this side, and writes the verdict's line. 1 the keys match, 0 otherwise.
int judge_key_frame(const std::string& key, bool sender, const char* frame, int count);

// The check's two halves: this side's frame, then the peer's, read for at most `timeout` seconds and
// judged (1 match, 0 otherwise). A side may send its frame first and read the peer's later.
void send_key_frame(Connection& conn, const std::string& key, bool sender);
int read_key_frame(Connection& conn, const std::string& key, bool sender, double timeout);

// The whole check on `conn`: sends this side's frame, then reads the peer's for at most `timeout`
// seconds. 1 match, 0 otherwise. The connection stays open in either case.
int check_keys_on(Connection& conn, const std::string& key, bool sender, double timeout);

}  // namespace zel

#endif
