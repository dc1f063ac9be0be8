#include "attacks.h"

#include <sys/socket.h>
#include <unistd.h>

#include <cstring>
#include <memory>
#include <thread>

#include "protocol/activelist.h"
#include "protocol/key_check.h"
#include "protocol/phrase.h"

namespace harness {

namespace {

// How long the flood lasts.
constexpr int kFloodSeconds = 10;

// Raw endstations of `conference`, one after another until the arena stops, each doing `act` with the
// "Connect " it is sent.
void endstations(Arena& arena, const std::string& conference, const std::string& nickname,
                 const std::function<void(RawParty&, const DecodedMessage&)>& act) {
    while (!arena.stop.load()) {
        RawParty endstation;
        if (!endstation.join(ROLE_ENDSTATION, conference, nickname)) continue;
        DecodedMessage connect = endstation.expect("Connect ", milliseconds(500));
        if (connect.type == MSG_CONNECT) act(endstation, connect);
    }
}

void until_stopped(Arena& arena) { arena.wait_halted(); }

bool flood(Arena&) {
    // Ten seconds of empty frames from a joined party, joining again after each drop.
    const std::string frames(64 * 1024, '\0');
    auto until = std::chrono::steady_clock::now() + std::chrono::seconds(kFloodSeconds);
    while (std::chrono::steady_clock::now() < until) {
        RawParty flooder;
        if (!flooder.join(ROLE_ENDSTATION, "flood")) continue;
        while (flooder.say_raw(frames) && std::chrono::steady_clock::now() < until) {
        }
    }
    return true;
}

bool ports_in_use(Arena& arena) {
    RawParty sender;
    if (!sender.join(ROLE_SENDER, "in-use")) return false;
    std::thread feeder([&] { endstations(arena, "in-use", "fed", [](RawParty&, const DecodedMessage&) {}); });
    while (!arena.stop.load()) {
        DecodedMessage nominated = sender.expect("Nominate ", milliseconds(200));
        if (nominated.type != MSG_NOMINATE) continue;
        sender.say("Approve " + nominated.cookie.text() + " ");
        for (DecodedMessage listen; (listen = sender.expect("Listen ", milliseconds(200))).type == MSG_LISTEN;)
            sender.say("Port_In_Use " + listen.cookie.text() + " " + listen.info);
    }
    feeder.join();
    return true;
}

bool connected_liars(Arena& arena) {
    // More liars than the pool has ports, all at once.
    HonestSender honest("liars", arena.events);
    size_t set_aside = arena.events.count(zel::EVENT_PORT_SET_ASIDE);
    std::atomic<int> told_adios{0};
    std::vector<std::thread> liars;
    const int count = pool_top() - coordinator_port() + 5;
    for (int i = 0; i < count; ++i) {
        liars.emplace_back([&] {
            RawParty liar;
            if (!liar.join(ROLE_ENDSTATION, "liars", "liar")) return;
            DecodedMessage connect = liar.expect("Connect ", milliseconds(30000));
            liar.say("Connected " + connect.cookie.text() + " " + connect.info);
            if (liar.expect("Adios ").type == MSG_ADIOS) ++told_adios;
        });
    }
    for (std::thread& liar : liars) liar.join();
    until_stopped(arena);
    // The honest sender closed each port a liar named before it answered: none was found in use.
    return told_adios == count && arena.events.count(zel::EVENT_PORT_SET_ASIDE) == set_aside;
}

bool long_nickname(Arena& arena) {
    HonestSender honest("long-name", arena.events);
    RawParty endstation;
    endstation.join(ROLE_ENDSTATION, "long-name", std::string(974, 'n'));
    endstation.wait_end();
    bool served = rendezvous("long-name", kHonestKey);  // the sender still serves
    until_stopped(arena);
    return served;
}

bool repeated_connected(Arena& arena) {
    HonestSender honest("repeat", arena.events);
    RawParty endstation;
    endstation.join(ROLE_ENDSTATION, "repeat");
    DecodedMessage connect = endstation.expect("Connect ");
    std::string said = "Connected " + connect.cookie.text() + " " + connect.info;
    while (endstation.say(said) && !arena.stop.load()) {
    }
    return true;
}

bool mute_endstations(Arena& arena) {
    HonestSender honest("mute", arena.events);
    const size_t joined = arena.events.count(zel::EVENT_JOINED), dropped = arena.events.count(zel::EVENT_DROPPED, "deadline");
    std::vector<std::unique_ptr<RawParty>> mute;
    for (int i = 0; i < pool_top() - coordinator_port() + 5; ++i) {
        mute.emplace_back(new RawParty);
        mute.back()->join(ROLE_ENDSTATION, "mute", "mute" + std::to_string(i), 4, false, "127.0.0.2");
    }
    // In line behind more of them than the pool has ports, from an address of its own: it goes past
    // those that wait, before any that holds a port has reached its deadline.
    bool past = arena.events.wait_for(zel::EVENT_JOINED, joined + mute.size()) && rendezvous("mute", kHonestKey) &&
                arena.events.count(zel::EVENT_DROPPED, "deadline") == dropped;
    for (auto& endstation : mute) endstation->wait_end();
    until_stopped(arena);
    return past;
}

bool intruders(Arena& arena) {
    HonestSender honest("knock", arena.events);
    RawParty endstation;
    endstation.join(ROLE_ENDSTATION, "knock");
    DecodedMessage connect = endstation.expect("Connect ");
    size_t refused = arena.events.count(zel::EVENT_KEY_REFUSED);
    int port = port_of(connect.info);
    // Two strangers reach the lent port first: one with a wrong key frame, one that says nothing.
    int wrong = connect_to(port), silent = connect_to(port);
    std::string bad = zel::masked_key_frame("wrong-key!!", false);
    send(wrong, bad.data(), bad.size(), MSG_NOSIGNAL);
    int real = connect_to(port);
    endstation.say("Connected " + connect.cookie.text() + " " + connect.info);
    std::string mine = zel::masked_key_frame(kHonestKey, false);
    send(real, mine.data(), mine.size(), MSG_NOSIGNAL);
    zel::KeyFrameReader frame(strlen(kHonestKey));
    while (!frame.take(static_cast<int>(recv(real, frame.space(), static_cast<size_t>(frame.room()), 0)))) {
    }
    bool through = zel::judge_key_frame(kHonestKey, false, frame.frame(), frame.count()) == 1 &&
                   endstation.expect("Adios ").type == MSG_ADIOS && arena.events.wait_for(zel::EVENT_KEY_REFUSED, refused + 2);
    for (int fd : {wrong, silent, real}) close(fd);
    until_stopped(arena);
    return through;
}

bool slow_handshakes(Arena& arena) {
    std::vector<std::unique_ptr<RawParty>> slow(30);
    for (auto& party : slow) {
        party.reset(new RawParty);
        party->connect();
    }
    const std::string line = std::string("TQR Caller is Endstation") + '\0';
    for (size_t at = 0; at < line.size() && !arena.stop.load(); ++at) {
        for (auto& party : slow) party->say_raw(line.substr(at, 1));
        std::this_thread::sleep_for(milliseconds(100));  // the dribble itself, not a wait for anything
    }
    for (auto& party : slow) party->wait_end();
    return true;
}

bool forged_approvals(Arena& arena) {
    RawParty sender;
    sender.join(ROLE_SENDER, "forged");
    for (uintptr_t value = 1; sender.say("Approve " + Cookie::of(reinterpret_cast<void*>(value)).text() + " "); ++value) {
    }
    until_stopped(arena);
    return true;
}

bool sender_that_leaves(Arena& arena) {
    RawParty sender;
    sender.join(ROLE_SENDER, "left");
    CallerParty endstation;
    endstation.run(ROLE_ENDSTATION, "left-behind", "left", kHonestKey);
    sender.expect("Nominate ");
    sender.hang_up();
    // The next sender comes once the coordinator has seen this one leave, else it is a second sender.
    arena.events.wait_until([] { return !g_activelist.has_sender("left"); });
    HonestSender next("left", arena.events);
    bool served = endstation.wait_ended();
    until_stopped(arena);
    return served;
}

}  // namespace

HonestSender::HonestSender(const std::string& conference, EventLog& events) {
    size_t before = events.count(zel::EVENT_JOINED);
    party.run(ROLE_SENDER, "honest", conference, kHonestKey);
    events.wait_for(zel::EVENT_JOINED, before + 1);
}

const std::vector<Attack>& attacks() {
    static const std::vector<Attack> table = {
        {"a flood of frames from a joined party, again after each drop", flood, zel::EVENT_DROPPED, "ignored_messages"},
        {"a sender that says every lent port is in use", ports_in_use, zel::EVENT_DROPPED, "port_in_use"},
        {"endstations that say they connected and never do", connected_liars, zel::EVENT_RENDEZVOUS_ENDED, "ok"},
        {"a nickname too long for the nomination that carries it", long_nickname, zel::EVENT_DROPPED, "nickname_too_long"},
        {"one endstation repeats \"Connected \"", repeated_connected, zel::EVENT_DROPPED, "ignored_messages"},
        {"endstations of one address that never answer \"Connect \"", mute_endstations, zel::EVENT_DROPPED, "deadline"},
        {"connections racing to a lent port without the key", intruders, zel::EVENT_RENDEZVOUS_ENDED, "ok"},
        {"handshakes dribbled a byte at a time", slow_handshakes, zel::EVENT_DROPPED, "handshake_timeout"},
        {"a sender that approves endstations that do not exist", forged_approvals, zel::EVENT_DROPPED, "ignored_messages"},
        {"a sender that leaves the endstation it was nominated", sender_that_leaves, zel::EVENT_RENDEZVOUS_ENDED, "abandoned"},
    };
    return table;
}

}  // namespace harness
