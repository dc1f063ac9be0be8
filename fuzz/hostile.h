// The hostile party of fuzz_coordinator: a raw party (harness::RawParty) that remembers what it heard,
// so that the input can make it answer with real cookies and ports, and whose every write goes out
// without waiting; and the moves the input makes it play.
#ifndef ZEL_FUZZ_HOSTILE_H
#define ZEL_FUZZ_HOSTILE_H

#include <sys/socket.h>

#include <array>
#include <functional>
#include <string>

#include <fuzzer/FuzzedDataProvider.h>

#include "harness.h"

namespace zel_fuzz {

// A message as it was heard: its cookie and info as they travelled.
struct Heard {
    std::string cookie;
    std::string info;
};

class Hostile {
public:
    harness::RawParty link;
    std::array<Heard, g_message_count> heard;  // the last message of each type
    std::array<int, g_message_count> times{};  // how many of each type
    Heard last;

    // Without waiting: a coordinator that stops reading this party is doing its job, and must not
    // stall the run. A write that does not fit goes out in part, or not at all.
    void put(const std::string& bytes) {
        if (link.fd() >= 0) send(link.fd(), bytes.data(), bytes.size(), MSG_DONTWAIT | MSG_NOSIGNAL);
    }
    void say(const std::string& text) { put(text + std::string(1, '\0')); }
    // Says `type` about the cookie of the last such `heard` message, with its info.
    void answer(int type, int heard_type) {
        say(g_message_names[type] + heard[static_cast<size_t>(heard_type)].cookie + " " + heard[static_cast<size_t>(heard_type)].info);
    }

    // Takes the next message that comes within `limit`, and learns from it. false when none came.
    bool hear(harness::milliseconds limit) {
        const std::string text = link.hear(limit);
        if (text.empty()) return false;
        DecodedMessage message;
        if (!decode_message(text, &message)) return true;
        const size_t type = static_cast<size_t>(message.type);
        heard[type] = Heard{message.has_cookie ? message.cookie.text() : std::string(), message.info};
        ++times[type];
        last = heard[type];
        return true;
    }
    // Hears until a message of `type` comes, for at most `limit` in all.
    bool await(int type, harness::milliseconds limit) {
        const int before = times[static_cast<size_t>(type)];
        const auto until = std::chrono::steady_clock::now() + limit;
        while (times[static_cast<size_t>(type)] == before) {
            auto left = std::chrono::duration_cast<harness::milliseconds>(until - std::chrono::steady_clock::now());
            if (left.count() <= 0 || !hear(left)) return false;
        }
        return true;
    }
};

// The longest nickname a "Nominate " carries: the longest message less the name, the longest cookie
// and its blank.
constexpr size_t kLongestNickname = kLongestMessage - 9 - 18 - 1;

// The coordinator's Callers that the hostile party may name: the honest parties', and its own once it
// has joined (null while not known).
struct KnownParties {
    const void* sender = nullptr;
    const void* endstation = nullptr;
    std::function<const void*()> own;
};

// What the input makes `hostile` do, `helper` being the endstation of its own conference where it is
// a sender. Everything is bounded: `play` waits `budget_ms` at most in all.
class Moves {
public:
    Moves(FuzzedDataProvider& input, Hostile& hostile, Hostile& helper, const KnownParties& known)
        : m_in(input), m_hostile(hostile), m_helper(helper), m_known(known) {}
    // Any length: up to and beyond the longest a "Nominate " carries, and beyond a reader's limit.
    std::string nickname();
    void play(int max_moves, int budget_ms);

private:
    template <typename T>
    T range(T low, T high) { return m_in.ConsumeIntegralInRange<T>(low, high); }
    std::string cookie();
    std::string info(size_t head);
    void named_message();
    void repeat();
    void flood();
    void knock();

    FuzzedDataProvider& m_in;
    Hostile& m_hostile;
    Hostile& m_helper;
    const KnownParties& m_known;
};

}  // namespace zel_fuzz

#endif
