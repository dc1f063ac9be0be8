// Micro benchmarks of the paths every message takes: the reader cutting messages from a socket, the
// decode rule, composing a message and writing it through a Caller, the port pool, and what the
// diagnostics cost while they are silenced.
//
// zel_bench_micro [--diagnostics] [Google Benchmark flags]. By default the library is quiet
// (zel_set_quiet(1)); with --diagnostics its inform lines are written to /dev/null.
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstring>
#include <string>
#include <vector>

#include "common/logmsg.h"
#include "common/zel_common.h"
#include "protocol/caller.h"
#include "protocol/messages.h"
#include "protocol/portmanager.h"

namespace {

// A typical message on the wire: "Listening ", a cookie, a port (31 bytes with its terminator).
std::string listening_text() {
    return compose_message(MSG_LISTENING, reinterpret_cast<const void*>(0x55d0c0ffee00), "28001");
}

// Points fd 2 at /dev/null while it lives: the reader prints a line for every read that ends inside a
// message, and those lines are part of the cost, not of the output.
class QuietStderr {
public:
    QuietStderr() {
        fflush(stderr);
        m_saved = dup(2);
        int null_fd = open("/dev/null", O_WRONLY | O_CLOEXEC);
        dup2(null_fd, 2);
        close(null_fd);
    }
    ~QuietStderr() {
        fflush(stderr);
        dup2(m_saved, 2);
        close(m_saved);
    }

private:
    int m_saved;
};

void grow_send_buffer(int fd) {
    int size = 8 << 20;
    // SO_SNDBUFFORCE passes the system's cap when the process may; otherwise the cap applies.
    if (setsockopt(fd, SOL_SOCKET, SO_SNDBUFFORCE, &size, sizeof size) != 0)
        setsockopt(fd, SOL_SOCKET, SO_SNDBUF, &size, sizeof size);
}

// Runs the reader loop of a Caller on the benchmark thread over a socket that already holds the whole
// stream and then its end, and returns the messages it delivered.
size_t read_all(int fd) {
    Caller caller(fd);
    caller.readthread();
    return caller.m_queue.size();
}

// The reader over a stream (an AF_UNIX stream pair) holding ~3,200 back-to-back messages: each read
// takes 998 bytes, so nearly every read ends inside a message and copies the fragment (and prints its
// line, here to /dev/null), as on a busy TCP link.
void BM_ReaderFramingStream(benchmark::State& state) {
    QuietStderr quiet;
    const std::string one = listening_text();
    std::string stream;
    for (int i = 0; i < 3200; ++i) stream.append(one.c_str(), one.size() + 1);
    int64_t messages = 0;
    for (auto _ : state) {
        state.PauseTiming();
        int pair[2];
        socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, pair);
        grow_send_buffer(pair[1]);
        size_t sent = 0;
        while (sent < stream.size()) {
            ssize_t n = send(pair[1], stream.data() + sent, stream.size() - sent, MSG_DONTWAIT | MSG_NOSIGNAL);
            if (n <= 0) break;
            sent += static_cast<size_t>(n);
        }
        shutdown(pair[1], SHUT_WR);
        state.ResumeTiming();
        messages += static_cast<int64_t>(read_all(pair[0]));
        state.PauseTiming();
        close(pair[1]);
        state.ResumeTiming();
    }
    state.counters["framing_msgs_per_s"] = benchmark::Counter(static_cast<double>(messages), benchmark::Counter::kIsRate);
}
BENCHMARK(BM_ReaderFramingStream)->Unit(benchmark::kMicrosecond);

// `per_read` texts of "Listening " in one packet, each with its NUL.
std::string framing_packet(int per_read) {
    const std::string one = listening_text();
    std::string packet;
    for (int i = 0; i < per_read; ++i) packet.append(one.c_str(), one.size() + 1);
    return packet;
}

// A SOCK_SEQPACKET pair whose read end `pair[0]` holds copies of `packet` (about 4096 messages in all)
// and then the end of the stream.
void fill_packet_pair(const std::string& packet, int per_read, int pair[2]) {
    const int packets = std::max(64, 4096 / per_read);
    socketpair(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0, pair);
    grow_send_buffer(pair[1]);
    for (int i = 0; i < packets; ++i)
        if (send(pair[1], packet.data(), packet.size(), MSG_DONTWAIT | MSG_NOSIGNAL) <= 0) break;
    shutdown(pair[1], SHUT_WR);
}

// The reader when every read returns whole messages (a SOCK_SEQPACKET pair, one packet per read):
// argument = messages per read. 1 is the rendezvous case (one message per wake-up); 32 fill a read.
void BM_ReaderFraming(benchmark::State& state) {
    const std::string packet = framing_packet(static_cast<int>(state.range(0)));
    int64_t messages = 0;
    for (auto _ : state) {
        state.PauseTiming();
        int pair[2];
        fill_packet_pair(packet, static_cast<int>(state.range(0)), pair);
        state.ResumeTiming();
        messages += static_cast<int64_t>(read_all(pair[0]));
        state.PauseTiming();
        close(pair[1]);
        state.ResumeTiming();
    }
    state.counters["framing_msgs_per_s"] = benchmark::Counter(static_cast<double>(messages), benchmark::Counter::kIsRate);
}
BENCHMARK(BM_ReaderFraming)->Arg(1)->Arg(8)->Arg(32)->Unit(benchmark::kMicrosecond);

// The floor under BM_ReaderFraming: the same packets read with bare recv() calls and counted with
// memchr(), no queue, no lock, no string.
void BM_ReaderFloor(benchmark::State& state) {
    const std::string packet = framing_packet(static_cast<int>(state.range(0)));
    int64_t messages = 0;
    for (auto _ : state) {
        state.PauseTiming();
        int pair[2];
        fill_packet_pair(packet, static_cast<int>(state.range(0)), pair);
        state.ResumeTiming();
        char buffer[1000];
        ssize_t n;
        while ((n = recv(pair[0], buffer, 998, 0)) > 0) {
            for (const char* at = buffer; (at = static_cast<const char*>(memchr(at, '\0', static_cast<size_t>(buffer + n - at)))) != nullptr; ++at)
                ++messages;
        }
        state.PauseTiming();
        close(pair[0]);
        close(pair[1]);
        state.ResumeTiming();
    }
    state.counters["framing_msgs_per_s"] = benchmark::Counter(static_cast<double>(messages), benchmark::Counter::kIsRate);
}
BENCHMARK(BM_ReaderFloor)->Arg(1)->Arg(8)->Arg(32)->Unit(benchmark::kMicrosecond);

// The decode rule on the texts a rendezvous carries.
void BM_DecodeMessage(benchmark::State& state) {
    const void* cookie = reinterpret_cast<const void*>(0x55d0c0ffee00);
    const std::vector<std::string> texts = {
        compose_message(MSG_NOMINATE, cookie, "endstation-7"), compose_message(MSG_APPROVE, cookie, nullptr),
        compose_message(MSG_LISTEN, cookie, "28001"),          compose_message(MSG_LISTENING, cookie, "28001"),
        compose_message(MSG_CONNECT, cookie, "28001"),         compose_message(MSG_SENDER_HAPPY, cookie, "28001"),
        compose_message(MSG_ADIOS, cookie, nullptr),
    };
    size_t i = 0;
    DecodedMessage decoded;
    for (auto _ : state) {
        benchmark::DoNotOptimize(decode_message(texts[i], &decoded));
        benchmark::DoNotOptimize(decoded);
        if (++i == texts.size()) i = 0;
    }
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_DecodeMessage);

void BM_ComposeMessage(benchmark::State& state) {
    const void* cookie = reinterpret_cast<const void*>(0x55d0c0ffee00);
    for (auto _ : state) {
        std::string text = compose_message(MSG_LISTENING, cookie, "28001");
        benchmark::DoNotOptimize(text);
    }
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_ComposeMessage);

// Caller::send_message onto an AF_UNIX stream pair: locks, composing, one send() per message. The
// other end is emptied every 64 messages (one recv each time, counted in).
void BM_SendMessage(benchmark::State& state) {
    int pair[2];
    socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, pair);
    grow_send_buffer(pair[0]);
    Caller* caller = new Caller(pair[0]);
    Caller* cookie = reinterpret_cast<Caller*>(0x55d0c0ffee00);
    std::vector<char> sink(1 << 16);
    int pending = 0;
    for (auto _ : state) {
        caller->send_message(MSG_LISTENING, cookie, "28001");
        if (++pending == 64) {
            while (recv(pair[1], sink.data(), sink.size(), MSG_DONTWAIT) > 0) {
            }
            pending = 0;
        }
    }
    state.SetItemsProcessed(state.iterations());
    delete caller;  // closes pair[0]
    close(pair[1]);
}
BENCHMARK(BM_SendMessage);

// One port lent and given back: the coordinator's pool work per rendezvous.
void BM_PortPopRecycle(benchmark::State& state) {
    for (auto _ : state) {
        const std::string* port = g_portmanager.pop_port();
        benchmark::DoNotOptimize(g_portmanager.recycle_port(*port));
    }
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_PortPopRecycle);

// What a diagnostic line costs while silenced: an inform line while quiet (or, with --diagnostics,
// written to /dev/null), and a log line while g_logmsg is closed (one process-wide lock).
void BM_InformLine(benchmark::State& state) {
    const void* cookie = reinterpret_cast<const void*>(0x55d0c0ffee00);
    for (auto _ : state) benchmark::DoNotOptimize(zel_inform(stderr, "cookie = %p\n", cookie));
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_InformLine);

void BM_LoglineClosed(benchmark::State& state) {
    const std::string text = listening_text();
    for (auto _ : state) zel::logline("pushing: ", text);
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_LoglineClosed)->Threads(1)->Threads(2);

}  // namespace

int main(int argc, char** argv) {
    bool diagnostics = false;
    std::vector<char*> args;
    for (int i = 0; i < argc; ++i) {
        if (i > 0 && strcmp(argv[i], "--diagnostics") == 0) {
            diagnostics = true;
        } else {
            args.push_back(argv[i]);
        }
    }
    int count = static_cast<int>(args.size());
    if (diagnostics) {
        int null_fd = open("/dev/null", O_WRONLY | O_CLOEXEC);
        dup2(null_fd, 2);
        close(null_fd);
    }
    zel_set_quiet(diagnostics ? 0 : 1);
    benchmark::Initialize(&count, args.data());
    if (benchmark::ReportUnrecognizedArguments(count, args.data())) return 1;
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
