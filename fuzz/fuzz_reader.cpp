// Fuzz target: a Caller's reader thread cutting an arbitrary byte stream into messages.
//
// The input is a list of chunks, each one length byte followed by that many bytes (the last chunk
// takes what is left). The chunks are written, in order, into one end of a socketpair whose other end
// belongs to a Caller(fd) with its real reader thread; after each chunk the writer waits until the
// reader has taken it, so that chunk boundaries become read boundaries wherever the reader's window
// allows.
//
// What the reader delivers does not depend on how the stream was cut: every NUL-terminated message of
// at most 997 bytes, in order, until the first message longer than that, at which point the reader
// ends by itself; otherwise it ends when the writer closes. The target computes that list from the
// stream and checks that the queue holds exactly it (so the delivered messages and their terminators
// are the stream up to its last NUL when no message is over-long), that no message exceeds 997 bytes
// or holds a NUL, and that the reader ends on an over-long message without the writer closing.
#include <linux/sockios.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "common/zel_common.h"
#include "fuzz_support.h"
#include "protocol/caller.h"

namespace {

constexpr size_t kLongest = 997;
constexpr auto kReaderLimit = std::chrono::milliseconds(5000);

struct Expectation {
    std::vector<std::string> messages;
    bool over_long = false;  // the reader must end by itself
};

Expectation expected_messages(const std::string& stream) {
    Expectation out;
    size_t start = 0;
    for (;;) {
        size_t nul = stream.find('\0', start);
        size_t length = (nul == std::string::npos ? stream.size() : nul) - start;
        if (length > kLongest) {
            out.over_long = true;
            break;
        }
        if (nul == std::string::npos) break;  // an unfinished message: dropped when the stream ends
        out.messages.push_back(stream.substr(start, length));
        start = nul + 1;
    }
    return out;
}

// Bytes written on `fd` that its peer has not read yet.
int unread(int fd) {
    int queued = 0;
    if (ioctl(fd, SIOCOUTQ, &queued) != 0) return 0;
    return queued;
}

// Writes one chunk, appending what was written to `stream`, and waits until the reader has taken it
// (or has ended). false once the reader has ended and the chunk could not be written whole.
bool write_chunk(Caller& reader, int fd, const uint8_t* bytes, size_t length, std::string& stream) {
    size_t written = 0;
    while (written < length) {
        ssize_t n = send(fd, bytes + written, length - written, MSG_DONTWAIT | MSG_NOSIGNAL);
        if (n > 0) {
            stream.append(reinterpret_cast<const char*>(bytes + written), static_cast<size_t>(n));
            written += static_cast<size_t>(n);
            continue;
        }
        if (n < 0 && errno == EINTR) continue;
        if (reader.reader_done()) return false;
        // The socket buffer is full: let the reader catch up.
        zel_fuzz::wait_until([&] { return unread(fd) == 0 || reader.reader_done(); }, kReaderLimit);
    }
    zel_fuzz::wait_until([&] { return unread(fd) == 0 || reader.reader_done(); }, kReaderLimit);
    return true;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    zel_fuzz::init_report();
    zel_set_quiet(1);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    int fds[2];
    ZEL_FUZZ_CHECK(socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fds) == 0, "socketpair: %s", strerror(errno));
    Caller* reader = new Caller(fds[0]);
    reader->startreadthread();

    std::string stream;
    for (size_t at = 0; at < size;) {
        size_t length = data[at++];
        if (length > size - at) length = size - at;
        if (length == 0) continue;
        if (!write_chunk(*reader, fds[1], data + at, length, stream)) break;
        at += length;
    }
    Expectation expected = expected_messages(stream);

    if (expected.over_long) {
        ZEL_FUZZ_CHECK(zel_fuzz::wait_until([&] { return reader->reader_done(); }, kReaderLimit),
                       "the reader did not end on a message longer than %zu bytes", kLongest);
    }
    close(fds[1]);
    ZEL_FUZZ_CHECK(zel_fuzz::wait_until([&] { return reader->reader_done(); }, kReaderLimit),
                   "the reader did not end when its peer closed");

    std::vector<std::string> delivered;
    while (reader->has_message()) delivered.push_back(reader->pop_message());
    for (const std::string& message : delivered) {
        ZEL_FUZZ_CHECK(message.size() <= kLongest, "a message of %zu bytes was delivered", message.size());
        ZEL_FUZZ_CHECK(message.find('\0') == std::string::npos, "a delivered message holds a NUL");
    }
    ZEL_FUZZ_CHECK(delivered.size() == expected.messages.size(), "%zu messages delivered, %zu in the stream",
                   delivered.size(), expected.messages.size());
    for (size_t i = 0; i < delivered.size(); ++i)
        ZEL_FUZZ_CHECK(delivered[i] == expected.messages[i], "message %zu differs: \"%s\" delivered, \"%s\" sent", i,
                       delivered[i].c_str(), expected.messages[i].c_str());
    delete reader;
    return 0;
}
