// Micro benchmarks of what every message goes through: the reader's window cutting a stream into
// messages, the decode rule, composing, and the port pool's lend and return.
//
// zel_bench_micro [Google Benchmark flags]
#include <benchmark/benchmark.h>

#include <cstring>
#include <string>
#include <vector>

#include "common/zel_common.h"
#include "protocol/framing.h"
#include "protocol/messages.h"
#include "protocol/portmanager.h"

namespace {

const Cookie kCookie = Cookie::of(reinterpret_cast<const void*>(0x55d0c0ffee00));

std::string composed(int type, const char* tail) {
    std::string text;
    compose_message(type, kCookie, tail, &text);
    return text;
}

// 3,200 "Listening " messages back to back, each with its NUL (31 bytes).
const std::string& stream_of_messages() {
    static const std::string stream = [] {
        const std::string one = composed(MSG_LISTENING, "28001");
        std::string all;
        for (int i = 0; i < 3200; ++i) all.append(one.c_str(), one.size() + 1);
        return all;
    }();
    return stream;
}

// Framer::take on the stream, read in pieces of at most `range(0)` bytes: 31 brings one message per
// read, as in a rendezvous; 998 fills the window, so that nearly every read ends inside a message.
void BM_FramerTake(benchmark::State& state) {
    const std::string& stream = stream_of_messages();
    const size_t piece = static_cast<size_t>(state.range(0));
    int64_t messages = 0;
    for (auto _ : state) {
        Framer framer;
        for (size_t at = 0; at < stream.size();) {
            const size_t n = std::min({piece, static_cast<size_t>(framer.room()), stream.size() - at});
            memcpy(framer.space(), stream.data() + at, n);
            at += n;
            const char* fragment = nullptr;
            framer.take(static_cast<int>(n), [&](const char*, size_t) { ++messages; }, &fragment);
            benchmark::DoNotOptimize(fragment);
        }
    }
    state.counters["msgs_per_s"] = benchmark::Counter(static_cast<double>(messages), benchmark::Counter::kIsRate);
}
BENCHMARK(BM_FramerTake)->Arg(31)->Arg(998)->Unit(benchmark::kMicrosecond);

// The floor under BM_FramerTake: the same copies, and the terminators counted with memchr.
void BM_FramerFloor(benchmark::State& state) {
    const std::string& stream = stream_of_messages();
    const size_t piece = static_cast<size_t>(state.range(0));
    char window[Framer::kWindow + 2];
    int64_t messages = 0;
    for (auto _ : state) {
        for (size_t at = 0; at < stream.size();) {
            const size_t n = std::min(piece, stream.size() - at);
            memcpy(window, stream.data() + at, n);
            at += n;
            for (const char* p = window; (p = static_cast<const char*>(memchr(p, '\0', static_cast<size_t>(window + n - p)))); ++p)
                ++messages;
        }
        benchmark::ClobberMemory();
    }
    state.counters["msgs_per_s"] = benchmark::Counter(static_cast<double>(messages), benchmark::Counter::kIsRate);
}
BENCHMARK(BM_FramerFloor)->Arg(31)->Arg(998)->Unit(benchmark::kMicrosecond);

// The decode rule on the texts of one rendezvous, in turn.
void BM_DecodeMessage(benchmark::State& state) {
    const std::vector<std::string> texts = {
        composed(MSG_NOMINATE, "endstation-7"), composed(MSG_APPROVE, nullptr),   composed(MSG_LISTEN, "28001"),
        composed(MSG_LISTENING, "28001"),       composed(MSG_CONNECT, "28001"),   composed(MSG_SENDER_HAPPY, "28001"),
        composed(MSG_ADIOS, nullptr),
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
    std::string text;
    for (auto _ : state) {
        benchmark::DoNotOptimize(compose_message(MSG_LISTENING, kCookie, "28001", &text));
        benchmark::DoNotOptimize(text);
    }
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_ComposeMessage);

// One port lent to a conference and given back: the pool's work for each rendezvous.
void BM_PoolLendRecycle(benchmark::State& state) {
    Portmanager pool;
    const std::string conference = "conf";
    for (auto _ : state) {
        const PortEntry* port = pool.lend(1, kCookie, conference);
        if (port == nullptr) {
            state.SkipWithError("the pool lent nothing");
            break;
        }
        benchmark::DoNotOptimize(pool.recycle_port(port->text));
    }
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_PoolLendRecycle);

}  // namespace

int main(int argc, char** argv) {
    zel::set_quiet(1);
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
