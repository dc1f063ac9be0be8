// Strangers against a code: guesses of its words, a confirmation that never ends, nameplates taken in
// bulk, a receiver that stops reading. Each guess or stall comes through a Relay from the stranger's own
// address, so that the sender sees it there; the honest receivers come from 127.0.0.1.
#include <sys/socket.h>
#include <unistd.h>

#include <cstring>
#include <future>
#include <memory>
#include <regex>

#include "protocol/phrase.h"
#include "strangers.h"
#include "code/code_link.h"
#include "protocol/key_check.h"
#include "transfer/secure.h"
#include "transfer/send_state.h"

namespace harness {

namespace {

struct Stranger {
    int status;
    std::string err;
};

// `tqr receive CODE`, its links relayed from `from`; the relay hands the direct link to `direct`
// (both ways pumped when it is null).
Stranger relayed_receive(const TempDir& dir, const std::string& code, const char* from = kStrangerAddress,
                         Relay::DirectLink direct = nullptr) {
    if (!direct) direct = [](int endstation, int sender) {
        std::thread back([&] { Relay::pump(endstation, sender, nullptr); });
        Relay::pump(sender, endstation, nullptr);
        back.join();
    };
    Relay relay(free_port(0), free_port(1), direct, from);
    if (!relay.start()) return {-1, "no relay"};
    TqrProcess receive({"receive", "--host", "127.0.0.1", code}, dir.path(),
                       {"TQR_COORDINATOR_PORT=" + std::to_string(free_port(0))});
    int status = receive.wait(kTool);
    relay.join();
    return {status, receive.err()};
}

std::string wrong_code(const std::string& code) {
    tqr::Code parsed;
    tqr::parse_code(code, &parsed);
    parsed.words[0] = parsed.words[0] == "apple" ? "acorn" : "apple";
    return std::to_string(parsed.nameplate) + "-" + tqr::code_password(parsed);
}

bool has(const std::string& text, const std::string& part) { return text.find(part) != std::string::npos; }

// Wrong codes from one address: each is reported with it, and its next tries wait longer and longer
// (turned away before any confirmation byte, and told so); an honest receiver gets through meanwhile.
bool wrong_codes(const TempDir& dir) {
    write_file(dir / "日本-данные.bin", "payload");
    CodeSender sender({"send", "--json", "--count", "1", "日本-данные.bin"}, dir);
    if (!sender.shown()) return false;
    bool ok = true, turned_away = false;
    // The delays double (1, 2, 4 s ...): within four tries one comes before its address may try again.
    for (int guess = 0; guess < 4 && !turned_away; ++guess) {
        Stranger stranger = relayed_receive(dir, wrong_code(sender.code));
        turned_away = has(stranger.err, "turns away tries for ");
        ok &= stranger.status == 4 && (turned_away || has(stranger.err, "the code is wrong"));
    }
    ok &= turned_away && has(sender.err(), R"({"event":"mismatch","peer":"127.0.0.2","failures":1,"wait":1})");
    ok &= honest_receive(dir, sender.code, "日本-данные.bin", "payload") && sender.wait(kTool) == 0;
    return ok && !has(sender.err(), "withdrawn");
}

// Only the limit in all (lowered to 2 here) withdraws the code: exit 4, with the count and the sources.
bool failure_limit(const TempDir& dir) {
    write_file(dir / "f", "payload");
    CodeSender sender({"send", "--count", "2", "f"}, dir, {"TQR_MAX_FAILED_CONFIRMATIONS=2"});
    if (!sender.shown()) return false;
    bool ok = relayed_receive(dir, wrong_code(sender.code)).status == 4;
    ok &= sender.wait_for_err("an endstation at 127.0.0.2 failed the key confirmation", kTool);
    ok &= honest_receive(dir, sender.code, "f", "payload");
    ok &= relayed_receive(dir, wrong_code(sender.code), "127.0.0.3").status == 4;
    return ok && sender.wait(kTool) == 4 &&
           has(sender.err(), "2 failed confirmations (from 127.0.0.2 \u00d71, 127.0.0.3 \u00d71); the code is withdrawn");
}

// Strangers that know the nameplate (anyone does) pass the library's key check on their lent ports,
// send the hello and a share, and stall there, as many at once as the code allows failures a minute:
// they have tested no guess, so they hold no place in that budget, and an honest receiver gets
// through while they stall (for as long as the sender's TQR_CONFIRM_TIMEOUT lets them).
bool stalled_confirmations(const TempDir& dir) {
    write_file(dir / "f", "payload");
    CodeSender sender({"send", "--count", "1", "f"}, dir, {"TQR_CONFIRM_TIMEOUT=600"});
    if (!sender.shown()) return false;
    const std::string key = tqr::nameplate_check_key(sender.parsed.nameplate);
    std::vector<std::unique_ptr<RawParty>> strangers;
    std::vector<int> links;
    bool ok = true;
    for (long i = 0; ok && i < tqr::Guesses::kFailuresPerMinute; ++i) {
        strangers.emplace_back(new RawParty());
        RawParty& stranger = *strangers.back();
        ok = stranger.join(ROLE_ENDSTATION, tqr::conference_of(sender.parsed.nameplate), "s", 4, false, kStrangerAddress);
        DecodedMessage connect = stranger.expect("Connect ");
        int link = stranger_connect(atoi(connect.info.c_str()));
        links.push_back(link);
        timeval limit{kStep.count() / 1000, 0};
        setsockopt(link, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
        std::string frame = zel::masked_key_frame(key, false);
        ok &= link >= 0 && stranger.say("Connected " + connect.cookie.text() + " " + connect.info) &&
              tqr::send_all(link, frame.data(), frame.size());
        zel::KeyFrameReader theirs(key.size());
        while (ok && !theirs.take(static_cast<int>(recv(link, theirs.space(), static_cast<size_t>(theirs.room()), 0)))) {
        }
        ok &= zel::judge_key_frame(key, false, theirs.frame(), theirs.count()) == 1 && send_share(link, sender.parsed);
    }
    ok &= honest_receive(dir, sender.code, "f", "payload");
    for (int link : links) close(link);
    return ok && sender.wait(kTool) == 0 && !has(sender.err(), "failed the key confirmation");
}

// Every nameplate of the first range taken by senders from one address: the sender draws from the
// next range, so its code has one digit more, and an honest receiver gets it.
bool squatted_nameplates(const TempDir& dir) {
    Coordinator coordinator;
    std::vector<std::unique_ptr<RawParty>> squatters;
    for (unsigned plate = 1; plate <= 9; ++plate) {
        squatters.emplace_back(new RawParty());
        if (!squatters.back()->join(ROLE_SENDER, tqr::conference_of(plate), "s", 3, false, kStrangerAddress))
            return false;
    }
    write_file(dir / "f", "payload");
    CodeSender sender({"send", "--count", "1", "f"}, dir, {"TQR_CODE_NAMEPLATES=9"});
    // Three refusals in a row make the range grow, on the coordinator that runs (the larger range still
    // holds the squatted plates, so a draw there may meet one more refusal).
    return coordinator.started && sender.shown() && sender.parsed.nameplate >= 10 && sender.parsed.nameplate <= 99 &&
           coordinator.server.rejected_senders() >= 3 && sender.err().find("serving one here") == std::string::npos &&
           honest_receive(dir, sender.code, "f", "payload") && sender.wait(kTool) == 0;
}

// A receiver with the code that stops reading once the payload flows: the sender drops it after
// TQR_STALL_TIMEOUT (3 s here), counts it lost and serves on.
bool stopped_reader(const TempDir& dir) {
    std::string payload = random_bytes(16 << 20, 7);
    write_file(dir / "big", payload);
    CodeSender sender({"send", "--count", "2", "big"}, dir);
    if (!sender.shown()) return false;
    std::promise<void> dropped, reading;
    std::thread stranger([&] {
        relayed_receive(dir, sender.code, kStrangerAddress, [&](int, int link) {
            int smallest = 1;
            setsockopt(link, SOL_SOCKET, SO_RCVBUF, &smallest, sizeof smallest);
            tqr::Session session;
            if (tqr::confirm_code(link, false, sender.parsed, &session) != tqr::CONFIRMED) return reading.set_value();
            unsigned char end[tqr::kEndBytes];
            bool first = true;
            tqr::receive_sealed(
                link, session, [](const tqr::PayloadHeader&, uint64_t*) { return true; },
                [&](const unsigned char*, size_t) {
                    if (first) reading.set_value();
                    first = false;
                    dropped.get_future().wait_for(kTool);
                    return false;
                },
                nullptr, end);
        });
    });
    bool ok = reading.get_future().wait_for(kTool) == std::future_status::ready;
    ok &= honest_receive(dir, sender.code, "big", payload);
    ok &= sender.wait_for_err("the link to 127.0.0.2 moved no payload for 3 s (TQR_STALL_TIMEOUT)", kTool);
    dropped.set_value();
    stranger.join();
    return ok && honest_receive(dir, sender.code, "big", payload) && sender.wait(kTool) == 0;
}

// A stranger nominated for the code's conference never sends the key on its lent port, but knocks on
// it again and again with a wrong one, each time resetting the link: every knock is refused and told
// in a line a second at most, each naming the stranger, the rest counted into the next line or a last
// one; an honest receiver gets through meanwhile.
bool knocks_on_a_lent_port(const TempDir& dir) {
    write_file(dir / "f", "payload");
    CodeSender sender({"send", "--count", "1", "f"}, dir);
    RawParty stranger;
    if (!sender.shown() ||
        !stranger.join(ROLE_ENDSTATION, tqr::conference_of(sender.parsed.nameplate), "s", 4, false, kStrangerAddress))
        return false;
    int port = atoi(stranger.expect("Connect ").info.c_str());
    constexpr int kKnocks = 60;
    const std::string wrong(40, 'x');
    for (int i = 0; i < kKnocks; ++i) {
        int fd = stranger_connect(port);
        timeval limit{kStep.count() / 1000, 0};
        linger reset{1, 0};
        setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
        setsockopt(fd, SOL_SOCKET, SO_LINGER, &reset, sizeof reset);
        bool sent = fd >= 0 && send(fd, wrong.c_str(), wrong.size() + 1, MSG_NOSIGNAL) == ssize_t(wrong.size() + 1);
        read_to_end(fd);
        close(fd);
        if (!sent) return false;
    }
    if (!honest_receive(dir, sender.code, "f", "payload") || sender.wait(kTool) != 0) return false;
    // Told lines, the knocks each one counts beside itself, and the last line's count.
    std::smatch found;
    long told = 0, counted = 0;
    std::string err = sender.err();
    for (auto at = err.cbegin(); std::regex_search(at, err.cend(), found, std::regex("refused (a connection from ([^ ]*):[0-9]+ on port [0-9]+: it failed the key check( \\(and ([0-9]+) more)?|([0-9]+) more connections? that)")); at = found[0].second) {
        if (found[2].matched && found[2] != kStrangerAddress) return false;
        told += found[2].matched;
        counted += found[4].matched ? stol(found[4]) : found[5].matched ? stol(found[5]) : 0;
    }
    return told >= 1 && told < kKnocks / 2 && told + counted == kKnocks;
}

// The stall rule on its own: bytes that trickle in do not push a link's deadline on, a whole chunk does.
bool dripping_link(const TempDir&) {
    int pair[2];
    if (socketpair(AF_UNIX, SOCK_STREAM, 0, pair) != 0) return false;
    unsigned char buffer[8];
    bool ok;
    {
        tqr::LinkDeadline deadline;
        deadline.set(0.2);
        tqr::send_all(pair[1], "abc", 3);
        ok = tqr::recv_all(pair[0], buffer, sizeof buffer) == 3 && tqr::LinkDeadline::passed();
        tqr::payload_moved();  // a fresh window, TQR_STALL_TIMEOUT long
        tqr::send_all(pair[1], "abcdefgh", 8);
        ok &= tqr::recv_all(pair[0], buffer, sizeof buffer) == 8;
    }
    close(pair[0]);
    close(pair[1]);
    return ok;
}

// A receiver that claims to have kept a huge part (with a wrong hash): the sender hashes that range of
// its file only while the receiver still waits for the answer (its stall limit), and stops at once when
// the link ends meanwhile, as an interruption ends it; never the whole claim.
bool claimed_huge_part(const TempDir&) {
    constexpr uint64_t kClaimed = uint64_t{1} << 50;
    constexpr long kMostReads = 20000;  // of 1 MiB: far more than the stall limit allows
    tqr::Session session;
    for (unsigned char* key : {session.stream_key, session.checksum_key, session.receipt_key}) memset(key, 7, tqr::kSecretBytes);
    bool ok = true;
    for (bool ended : {false, true}) {
        int pair[2];
        if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, pair) != 0) return false;
        std::thread receiver([&] {
            tqr::LinkDeadline deadline;
            deadline.set(tqr::stall_seconds());
            tqr::KeptPart kept{[](unsigned char out[tqr::kIdentityBytes]) { return memset(out, 9, tqr::kIdentityBytes) != nullptr; },
                               [] { return true; }};
            unsigned char end[tqr::kEndBytes];
            tqr::receive_sealed(
                pair[1], session, [](const tqr::PayloadHeader&, uint64_t* start) { return (*start = kClaimed) != 0; },
                [](const unsigned char*, size_t) { return true; }, nullptr, end, &kept);
        });
        long reads = 0;
        tqr::ReadFunction zeros = [&](uint64_t, unsigned char* out, size_t capacity) -> ssize_t {
            if (++reads == 1 && ended) shutdown(pair[0], SHUT_RDWR);
            if (reads > kMostReads) return -1;
            memset(out, 0, capacity);
            return static_cast<ssize_t>(capacity);
        };
        tqr::PayloadHeader offer;
        offer.name = "huge";
        offer.size = kClaimed;
        unsigned char end[tqr::kEndBytes];
        uint64_t start = 0;
        {
            tqr::LinkDeadline deadline;
            deadline.set(tqr::stall_seconds());
            ok &= tqr::send_sealed(pair[0], session, offer, zeros, nullptr, end, &start) == tqr::SEND_FAILED &&
                  reads < kMostReads && (ended || tqr::LinkDeadline::passed());
        }
        shutdown(pair[0], SHUT_RDWR);
        receiver.join();
        close(pair[0]);
        close(pair[1]);
    }
    return ok;
}

}  // namespace

std::vector<StrangerAttack> code_attacks() {
    return {{"wrong codes from one address", wrong_codes},
            {"the failure limit in all", failure_limit},
            {"confirmations that stall after their shares", stalled_confirmations},
            {"every nameplate of the first range squatted", squatted_nameplates},
            {"a receiver that stops reading", stopped_reader},
            {"a stranger that knocks on its lent port again and again", knocks_on_a_lent_port},
            {"a link that drips", dripping_link},
            {"a receiver that claims a huge kept part", claimed_huge_part}};
}

}  // namespace harness
