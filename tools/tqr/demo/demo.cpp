// `tqr demo`: the whole system in one process on loopback: a coordinator, a sender (alice) and two
// endstations (bob, then carol) that each meet alice and take a payload from her, checked end to end.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <condition_variable>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "common/zel_common.h"
#include "net/socket.h"
#include "protocol/caller.h"
#include "protocol/coordinator_server.h"
#include "protocol/phrase.h"
#include "protocol/portmanager.h"
#include "cli/commands.h"
#include "transfer/party.h"
#include "transfer/payload.h"
#include "cli/progress.h"
#include "transfer/secure.h"

namespace tqr {

namespace {

typedef std::chrono::steady_clock Clock;

constexpr size_t kPayloadBytes = 256 * 1024;
constexpr const char* kConference = "demo";
constexpr const char* kKey = "demo-key";
constexpr const char* kFileName = "demo.bin";
constexpr const char* kSender = "alice";
const char* const kEndstations[] = {"bob", "carol"};
constexpr int kStepSeconds = 20;  // no step of the demo may take longer
// Set in the environment of a demo that re-ran itself on other ports: the port that was taken.
constexpr const char* kMovedSetting = "TQR_DEMO_MOVED_FROM";

// One endstation's rendezvous, as the demo reports it. Written by the bridge thread of that
// endstation, read by the main thread after the endstation's process() returned (which joins it).
struct Meeting {
    Clock::time_point started;
    double met_ms = 0;    // connecting to the coordinator until the key-checked link was handed over
    double total_ms = 0;  // until "Adios " ended the endstation's message loop
    int port = 0;         // the pool port the sender listened on
    bool bridged = false;
    ReceiveResult result = RECEIVED_NOTHING;
    std::string checksum;
};

// Shared with the bridge callback, which serves both sides in this process.
struct DemoState {
    int coord_port = 0;
    int top_port = 0;
    PayloadSource payload;
    LinkKeys* keys = nullptr;  // the encrypted mode's keys of kKey (both sides hold the same)
    std::atomic<Caller*> endstation{nullptr};  // the endstation under way (one at a time)
    Meeting* meeting = nullptr;                // its record
    std::atomic<int> served{0};
};

DemoState g_demo;

int port_of(const sockaddr_in& address) { return ntohs(address.sin_port); }

bool is_pool_port(int port) { return port > g_demo.coord_port && port <= g_demo.top_port; }

void sender_side(int fd) {
    bound_link(fd, kStepSeconds);
    Session session;
    if (confirm_link(fd, true, *g_demo.keys, &session) != CONFIRMED) return;
    unsigned char end[kEndBytes];
    PayloadHeader offer;
    offer.name = kFileName;
    offer.size = g_demo.payload.size();
    uint64_t start = 0;
    if (send_sealed(fd, session, offer, g_demo.payload.reader(), nullptr, end, &start) == SENT &&
        wait_receipt(fd, session, end, kStepSeconds * 1000) == 1)
        ++g_demo.served;
}

void endstation_side(int fd) {
    Meeting& meeting = *g_demo.meeting;
    meeting.met_ms = std::chrono::duration<double, std::milli>(Clock::now() - meeting.started).count();
    meeting.bridged = true;
    sockaddr_in peer;
    if (net::peer_address(fd, &peer)) meeting.port = port_of(peer);
    bound_link(fd, kStepSeconds);
    Session session;
    if (confirm_link(fd, false, *g_demo.keys, &session) != CONFIRMED) {
        close(fd);
        return;
    }
    std::vector<unsigned char> received;
    unsigned char end[kEndBytes];
    meeting.result = receive_sealed(
        fd, session,
        [&](const PayloadHeader& header, uint64_t*) {
            received.reserve(header.size);
            return true;
        },
        [&](const unsigned char* data, size_t size) {
            received.insert(received.end(), data, data + size);
            return true;
        },
        nullptr, end);
    if (meeting.result == RECEIVED_INTACT) {
        meeting.checksum = checksum_hex(received.data(), received.size());
        // As `tqr receive` does: confirm only after the coordinator's "Adios " (see payload.h).
        g_demo.endstation.load()->wait_link_ended(kStepSeconds);
    }
    send_receipt(fd, session, meeting.result == RECEIVED_INTACT, end);
    close(fd);
}

// The one bridge of the process serves both ends of every link: the sender's end is the socket it
// accepted on a pool port.
void demo_bridge(int fd) {
    sockaddr_in local;
    if (net::local_address(fd, &local) && is_pool_port(port_of(local))) {
        sender_side(fd);
    } else {
        endstation_side(fd);
    }
}

bool port_free(int port) { return net::port_bindable(port); }

// The library reads its ports from the environment when it loads, so other ports mean another run of
// this program. Returns only when there is nothing better to do than to fail.
void move_to_free_ports(const char* self_path) {
    int span = g_demo.top_port - g_demo.coord_port + 1;
    for (int attempt = 1; attempt <= 40; ++attempt) {
        int coord = g_demo.coord_port + attempt * span;
        int top = coord + span - 1;
        if (top > 65535) break;
        bool all_free = true;
        for (int port = coord; port <= top && all_free; ++port) all_free = port_free(port);
        if (!all_free) continue;
        setenv("TQR_COORDINATOR_PORT", std::to_string(coord).c_str(), 1);
        setenv("TQR_TOP_PORT", std::to_string(top).c_str(), 1);
        setenv(kMovedSetting, std::to_string(g_demo.coord_port).c_str(), 1);
        fflush(stdout);
        char* const arguments[] = {const_cast<char*>("tqr"), const_cast<char*>("demo"), nullptr};
        execv(self_path, arguments);
        fprintf(stderr, "tqr demo: cannot run %s again on free ports\n", self_path);
        return;
    }
    fprintf(stderr, "tqr demo: found no free ports after %d\n", g_demo.coord_port);
}

// A party's life on its own thread: connect, reader, handshake, then the message loop.
struct Party {
    Caller* caller = new Caller();
    std::thread thread;
    std::mutex mutex;
    std::condition_variable changed;
    bool joined = false;  // guarded by `mutex`, as `ended`
    bool ended = false;

    void run(int role, const char* nickname) {
        thread = std::thread([this, role, nickname] {
            if (caller->connect(g_demo.coord_port, "127.0.0.1", role, nickname, kConference,
                                g_demo.keys->check_key().c_str()) == 1) {
                caller->startreadthread();
                if (caller->negotiate(1, role, ROLE_COORDINATOR) == 1) {
                    set(&joined);
                    caller->process();
                }
            }
            set(&ended);
        });
    }
    void set(bool* flag) {
        std::lock_guard<std::mutex> lock(mutex);
        *flag = true;
        changed.notify_all();
    }
    bool wait(const bool& flag) {
        std::unique_lock<std::mutex> lock(mutex);
        return changed.wait_for(lock, std::chrono::seconds(kStepSeconds), [&] { return flag; });
    }
};

[[noreturn]] void give_up(const std::string& what) {
    printf("\ndemo FAILED: %s\n", what.c_str());
    finish(EXIT_USAGE_OR_IO);
}

}  // namespace

int run_demo(const char* self_path) {
    zel_set_quiet(1);
    g_demo.coord_port = g_portmanager.coord_port();
    g_demo.top_port = g_portmanager.top_port();
    const char* moved_from = getenv(kMovedSetting);
    if (!port_free(g_demo.coord_port)) {
        if (moved_from == nullptr) move_to_free_ports(self_path);
        fprintf(stderr, "tqr demo: port %d is taken; set TQR_COORDINATOR_PORT and TQR_TOP_PORT to free ports\n",
                g_demo.coord_port);
        return EXIT_USAGE_OR_IO;
    }

    printf("tqr demo: a coordinator, a sender and two endstations, all in this process, on 127.0.0.1\n");
    if (moved_from != nullptr) printf("(port %s was taken, so the demo moved to free ports)\n", moved_from);
    printf("\n");

    std::vector<unsigned char> payload(kPayloadBytes);
    random_bytes(payload.data(), payload.size());
    std::string checksum = checksum_hex(payload.data(), payload.size());
    g_demo.payload.assign(std::move(payload));
    LinkKeys keys(kKey, kConference);
    g_demo.keys = &keys;
    set_bridge_callback(demo_bridge);

    CoordinatorServer server;
    if (!server.start(g_demo.coord_port)) give_up("cannot listen on port " + std::to_string(g_demo.coord_port));
    printf("  coordinator  listens on port %d; lends ports %d-%d for direct links\n", g_demo.coord_port,
           g_demo.coord_port + 1, g_demo.top_port);
    printf("  encrypted    the key check sees only a key derived from the real one; payloads travel sealed\n");

    Party sender;
    sender.run(ROLE_SENDER, kSender);
    if (!sender.wait(sender.joined)) give_up("the sender did not join");
    printf("  sender       %s joined conference \"%s\", offering %s (%s of random bytes)\n", kSender, kConference,
           kFileName, Progress::human_bytes(static_cast<double>(kPayloadBytes)).c_str());

    Meeting meetings[2];
    for (int i = 0; i < 2; ++i) {
        Party endstation;
        g_demo.endstation = endstation.caller;
        g_demo.meeting = &meetings[i];
        meetings[i].started = Clock::now();
        endstation.run(ROLE_ENDSTATION, kEndstations[i]);
        if (!endstation.wait(endstation.ended)) give_up(std::string(kEndstations[i]) + " did not finish its rendezvous");
        endstation.thread.join();
        meetings[i].total_ms = std::chrono::duration<double, std::milli>(Clock::now() - meetings[i].started).count();
        delete endstation.caller;
        const Meeting& met = meetings[i];
        if (!met.bridged) give_up(std::string(kEndstations[i]) + " never got a link to the sender");
        if (met.result != RECEIVED_INTACT || met.checksum != checksum)
            give_up(std::string(kEndstations[i]) + " got a damaged payload");
        printf("  endstation   %s met %s on port %d after %.1f ms; payload verified; done in %.1f ms\n",
               kEndstations[i], kSender, met.port, met.met_ms, met.total_ms);
    }

    // The sender serves until its coordinator link ends.
    sender.caller->close_link();
    if (!sender.wait(sender.ended)) give_up("the sender did not stop");
    sender.thread.join();
    delete sender.caller;
    server.stop();
    if (g_demo.served.load() != 2) give_up("the sender confirmed " + std::to_string(g_demo.served.load()) + " of 2 transfers");

    printf("\ndemo passed: 2 rendezvous; both endstations verified the payload (BLAKE2b-256 %.16s...)\n",
           checksum.c_str());
    printf("next, between two machines:\n"
           "  tqr send FILE          shows a code, such as 7-guitar-ocean-tulip, and the command to run there\n"
           "  tqr receive CODE       on the other machine, as that command says (with --host naming this one)\n");
    finish(EXIT_DONE);
}

}  // namespace tqr
