// Fuzz target: the reader's window cutting an arbitrary byte stream into messages.
//
// The input is a list of chunks, each one length byte followed by that many bytes (the last chunk
// takes what is left); the stream is the chunks in order. What the reader delivers must not depend on
// how the stream was cut: every NUL-terminated message of at most 997 bytes, in order, until the first
// message longer than that, which ends the stream.
//
// Two runs check it: a Framer fed the chunks as reads (each cut where the window's room ends, too),
// whose unfinished message must be the stream's tail; and a Caller(fd) whose real reader thread reads
// the chunks, written one by one into a socketpair, and which must end by itself on an over-long
// message, without its peer closing.
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "common/zel_common.h"
#include "fuzz_support.h"
#include "protocol/caller.h"
#include "protocol/framing.h"
#include "protocol/messages.h"

namespace {

// How long the reader may take to hand over one message, on a loaded machine with sanitizers.
constexpr double kReaderLimit = 5.0;

struct Expectation {
    std::vector<std::string> messages;
    bool over_long = false;  // the reader must end by itself
};

Expectation expected_messages(const std::string& stream) {
    Expectation out;
    for (size_t start = 0;;) {
        const size_t nul = stream.find('\0', start);
        const size_t length = (nul == std::string::npos ? stream.size() : nul) - start;
        if (length > kLongestMessage) {
            out.over_long = true;
            break;
        }
        if (nul == std::string::npos) break;  // an unfinished message: dropped when the stream ends
        out.messages.push_back(stream.substr(start, length));
        start = nul + 1;
    }
    return out;
}

std::vector<std::string> chunks_of(const uint8_t* data, size_t size) {
    std::vector<std::string> chunks;
    for (size_t at = 0; at < size;) {
        size_t length = data[at++];
        if (length > size - at) length = size - at;
        if (length > 0) chunks.emplace_back(reinterpret_cast<const char*>(data + at), length);
        at += length;
    }
    return chunks;
}

void check_delivered(const char* who, const std::vector<std::string>& delivered, const Expectation& expected) {
    ZEL_FUZZ_CHECK(delivered.size() == expected.messages.size(), "%s: %zu messages delivered, %zu in the stream", who,
                   delivered.size(), expected.messages.size());
    for (size_t i = 0; i < delivered.size(); ++i)
        ZEL_FUZZ_CHECK(delivered[i] == expected.messages[i], "%s: message %zu differs: \"%s\" delivered, \"%s\" sent", who,
                       i, delivered[i].c_str(), expected.messages[i].c_str());
}

// The Framer alone, fed each chunk in reads no larger than its room.
void check_framer(const std::vector<std::string>& chunks, const Expectation& expected) {
    Framer framer;
    std::vector<std::string> delivered;
    std::string taken;  // the stream so far
    bool open = true;
    for (const std::string& chunk : chunks) {
        for (size_t at = 0; at < chunk.size() && open;) {
            const size_t n = std::min(chunk.size() - at, static_cast<size_t>(framer.room()));
            memcpy(framer.space(), chunk.data() + at, n);
            taken.append(chunk, at, n);
            at += n;
            const char* fragment = nullptr;
            open = framer.take(static_cast<int>(n), [&](const char* text, size_t length) { delivered.emplace_back(text, length); },
                               &fragment);
            const size_t tail = taken.size() - (taken.rfind('\0') == std::string::npos ? 0 : taken.rfind('\0') + 1);
            ZEL_FUZZ_CHECK(fragment == nullptr || (open && strlen(fragment) == tail &&
                                                   taken.compare(taken.size() - tail, tail, fragment) == 0),
                           "the unfinished message is not the stream's tail of %zu bytes", tail);
        }
    }
    ZEL_FUZZ_CHECK(open != expected.over_long, "the framer %s", open ? "took an over-long message" : "ended a stream of fitting messages");
    check_delivered("framer", delivered, expected);
}

// A Caller's reader thread over a socketpair whose other end gets the chunks one write each.
void check_caller(const std::vector<std::string>& chunks, const Expectation& expected) {
    int fds[2];
    ZEL_FUZZ_CHECK(socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fds) == 0, "socketpair: %s", strerror(errno));
    Caller* reader = new Caller(fds[0]);
    reader->startreadthread();
    // Blocking writes: a reader that stopped reading makes the last ones fail once its end is closed.
    std::thread writer([&] {
        for (const std::string& chunk : chunks)
            if (send(fds[1], chunk.data(), chunk.size(), MSG_NOSIGNAL) != static_cast<ssize_t>(chunk.size())) return;
        if (!expected.over_long) shutdown(fds[1], SHUT_WR);
    });
    std::vector<std::string> delivered;
    for (std::string message; reader->receive(message, kReaderLimit) == 1;) delivered.push_back(message);
    ZEL_FUZZ_CHECK(reader->link_ended(), "the reader %s within %.0f s", expected.over_long ? "did not end on an over-long message" : "stalled",
                   kReaderLimit);
    delete reader;  // closes fds[0]: a writer still blocked fails and returns
    writer.join();
    close(fds[1]);
    check_delivered("caller", delivered, expected);
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    zel_fuzz::init_report();
    zel::set_quiet(1);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::vector<std::string> chunks = chunks_of(data, size);
    std::string stream;
    for (const std::string& chunk : chunks) stream += chunk;
    const Expectation expected = expected_messages(stream);
    check_framer(chunks, expected);
    check_caller(chunks, expected);
    return 0;
}
