// `tqr demo`: the whole system in one process on loopback: a coordinator, a sender (alice) and two
// endstations (bob, then carol) that each meet alice and take a payload from her, checked end to end.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "common/zel_common.h"
#include "net/socket.h"
#include "protocol/caller.h"
#include "protocol/coordinator_host.h"
#include "protocol/host.h"
#include "protocol/mutex.h"
#include "protocol/phrase.h"
#include "protocol/settings.h"
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

// What the demo's two bridges share: the payload the sender serves and the keys of both ends. Owned
// by run_demo; read by the sender's listener threads and the endstations' bridge threads.
struct DemoState {
    PayloadSource payload;
    LinkKeys* keys = nullptr;  // the encrypted mode's keys of kKey (both sides hold the same)
    std::atomic<int> served{0};
    // The sender's handlers that have returned: an endstation is done once it has sent its receipt,
    // which the sender's handler may still be reading.
    std::mutex handled_mutex;
    std::condition_variable handled_changed;
    int handled = 0;  // guarded by handled_mutex
};

// Counts a sender's handler as returned, however it returns.
struct Handled {
    DemoState& demo;
    ~Handled() {
        {
            std::lock_guard<std::mutex> lock(demo.handled_mutex);
            ++demo.handled;
        }
        demo.handled_changed.notify_all();
    }
};

// One endstation's bridge context: the demo, the record it fills, and its own Caller.
struct EndstationRun {
    DemoState* demo;
    Meeting* meeting;
    Caller* caller;
};

int port_of(const sockaddr_in& address) { return ntohs(address.sin_port); }

// The sender's bridge handler, on a listener thread of the library, which closes `fd` afterwards.
void sender_side(int fd, void* context) {
    take_process_policy();
    DemoState& demo = *static_cast<DemoState*>(context);
    Handled handled{demo};
    bound_link(fd, kStepSeconds);
    Session session;
    if (confirm_link(fd, true, *demo.keys, &session) != CONFIRMED) return;
    unsigned char end[kEndBytes];
    PayloadHeader offer;
    offer.name = kFileName;
    offer.size = demo.payload.size();
    uint64_t start = 0;
    if (send_sealed(fd, session, offer, demo.payload.reader(), nullptr, end, &start) == SENT &&
        wait_receipt(fd, session, end, kStepSeconds * 1000) == 1)
        ++demo.served;
}

// An endstation's bridge handler, on its bridge thread; `fd` is ours to close.
void endstation_side(int fd, void* context) {
    take_process_policy();
    const EndstationRun& run = *static_cast<EndstationRun*>(context);
    Meeting& meeting = *run.meeting;
    meeting.met_ms = std::chrono::duration<double, std::milli>(Clock::now() - meeting.started).count();
    meeting.bridged = true;
    sockaddr_in peer;
    if (net::peer_address(fd, &peer)) meeting.port = port_of(peer);
    bound_link(fd, kStepSeconds);
    Session session;
    if (confirm_link(fd, false, *run.demo->keys, &session) != CONFIRMED) {
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
        zel::wait_link_ended(*run.caller, kStepSeconds);
    }
    send_receipt(fd, session, meeting.result == RECEIVED_INTACT, end);
    close(fd);
}

bool port_free(int port) { return net::port_bindable(port); }

// The library reads its ports from the environment when it loads, so other ports mean another run of
// this program. Returns only when there is nothing better to do than to fail.
void move_to_free_ports(const char* self_path, int coord_port, int top_port) {
    int span = top_port - coord_port + 1;
    for (int attempt = 1; attempt <= 40; ++attempt) {
        int coord = coord_port + attempt * span;
        int top = coord + span - 1;
        if (top > 65535) break;
        bool all_free = true;
        for (int port = coord; port <= top && all_free; ++port) all_free = port_free(port);
        if (!all_free) continue;
        setenv("TQR_COORDINATOR_PORT", std::to_string(coord).c_str(), 1);
        setenv("TQR_TOP_PORT", std::to_string(top).c_str(), 1);
        setenv(kMovedSetting, std::to_string(coord_port).c_str(), 1);
        fflush(stdout);
        char* const arguments[] = {const_cast<char*>("tqr"), const_cast<char*>("demo"), nullptr};
        execv(self_path, arguments);
        fprintf(stderr, "tqr demo: cannot run %s again on free ports\n", self_path);
        return;
    }
    fprintf(stderr, "tqr demo: found no free ports after %d\n", coord_port);
}

// A party's life on a thread of its own: connect, reader, handshake, then the message loop. Owned by
// run_demo; the destructor ends the party's link and joins its thread, so a demo that gives up leaves
// nothing running.
class Party {
public:
    Party() = default;
    Party(const Party&) = delete;
    Party& operator=(const Party&) = delete;
    ~Party() {
        if (m_thread.joinable()) {
            zel::close_link(*m_caller);
            m_thread.join();
        }
    }

    Caller& caller() { return *m_caller; }
    void run(int port, int role, const char* nickname, const std::string& key) {
        m_thread = std::thread([this, port, role, nickname, key] {
            if (m_caller->connect(port, "127.0.0.1", role, nickname, kConference, key.c_str()) == 1) {
                m_caller->startreadthread();
                if (m_caller->negotiate(1, role, ROLE_COORDINATOR) == 1) {
                    set(&m_joined);
                    m_caller->process();
                }
            }
            set(&m_ended);
        });
    }
    bool wait_joined() { return wait(&m_joined); }
    // Waits for the party's thread to end, then joins it.
    bool wait_ended() {
        if (!wait(&m_ended)) return false;
        m_thread.join();
        return true;
    }

private:
    void set(bool* flag) ZEL_EXCLUDES(m_mutex) {
        zel::MutexLock lock(m_mutex);
        *flag = true;
        m_changed.broadcast();
    }
    bool wait(const bool* flag) ZEL_EXCLUDES(m_mutex) {
        timespec until{};
        clock_gettime(CLOCK_MONOTONIC, &until);
        until.tv_sec += kStepSeconds;
        zel::MutexLock lock(m_mutex);
        while (!*flag && m_changed.wait_until(m_mutex, until) == 0) {
        }
        return *flag;
    }

    std::unique_ptr<Caller> m_caller{new Caller()};
    std::thread m_thread;
    zel::Mutex m_mutex;  // guards the two flags; a leaf
    zel::CondVar m_changed{CLOCK_MONOTONIC};
    bool m_joined ZEL_GUARDED_BY(m_mutex) = false;
    bool m_ended ZEL_GUARDED_BY(m_mutex) = false;
};

int give_up(const std::string& what) {
    printf("\ndemo FAILED: %s\n", what.c_str());
    return leave(EXIT_USAGE_OR_IO);
}

}  // namespace

int run_demo(const char* self_path) {
    zel::set_quiet(1);
    const int coord_port = zel::settings().coordinator_port;
    const int top_port = zel::settings().top_port;
    const char* moved_from = getenv(kMovedSetting);
    if (!port_free(coord_port)) {
        if (moved_from == nullptr) move_to_free_ports(self_path, coord_port, top_port);
        fprintf(stderr, "tqr demo: port %d is taken; set TQR_COORDINATOR_PORT and TQR_TOP_PORT to free ports\n",
                coord_port);
        return EXIT_USAGE_OR_IO;
    }

    printf("tqr demo: a coordinator, a sender and two endstations, all in this process, on 127.0.0.1\n");
    if (moved_from != nullptr) printf("(port %s was taken, so the demo moved to free ports)\n", moved_from);
    printf("\n");

    // Declared in the order they go the other way: the parties first, then the coordinator, then
    // what the bridges read.
    DemoState demo;
    std::vector<unsigned char> payload(kPayloadBytes);
    random_bytes(payload.data(), payload.size());
    std::string checksum = checksum_hex(payload.data(), payload.size());
    demo.payload.assign(std::move(payload));
    LinkKeys keys(kKey, kConference);
    demo.keys = &keys;
    const std::string check_key = keys.check_key();

    zel::CoordinatorHost coordinator;
    zel::AdmissionLimits limits = zel::AdmissionLimits::from_settings();
    if (!coordinator.start(coord_port, limits)) return give_up("cannot listen on port " + std::to_string(coord_port));
    printf("  coordinator  listens on port %d; lends ports %d-%d for direct links\n", coord_port, coord_port + 1,
           top_port);
    printf("  encrypted    the key check sees only a key derived from the real one; payloads travel sealed\n");

    Party sender;
    zel::set_bridge_handler(sender.caller(), sender_side, &demo);
    sender.run(coord_port, ROLE_SENDER, kSender, check_key);
    if (!sender.wait_joined()) return give_up("the sender did not join");
    printf("  sender       %s joined conference \"%s\", offering %s (%s of random bytes)\n", kSender, kConference,
           kFileName, Progress::human_bytes(static_cast<double>(kPayloadBytes)).c_str());

    Meeting meetings[2];
    for (int i = 0; i < 2; ++i) {
        Party endstation;
        EndstationRun run{&demo, &meetings[i], &endstation.caller()};
        zel::set_bridge_handler(endstation.caller(), endstation_side, &run);
        meetings[i].started = Clock::now();
        endstation.run(coord_port, ROLE_ENDSTATION, kEndstations[i], check_key);
        if (!endstation.wait_ended()) return give_up(std::string(kEndstations[i]) + " did not finish its rendezvous");
        meetings[i].total_ms = std::chrono::duration<double, std::milli>(Clock::now() - meetings[i].started).count();
        const Meeting& met = meetings[i];
        if (!met.bridged) return give_up(std::string(kEndstations[i]) + " never got a link to the sender");
        if (met.result != RECEIVED_INTACT || met.checksum != checksum)
            return give_up(std::string(kEndstations[i]) + " got a damaged payload");
        printf("  endstation   %s met %s on port %d after %.1f ms; payload verified; done in %.1f ms\n",
               kEndstations[i], kSender, met.port, met.met_ms, met.total_ms);
    }

    {
        std::unique_lock<std::mutex> lock(demo.handled_mutex);
        demo.handled_changed.wait_for(lock, std::chrono::seconds(kStepSeconds), [&] { return demo.handled >= 2; });
    }
    // The sender serves until its coordinator link ends.
    zel::close_link(sender.caller());
    if (!sender.wait_ended()) return give_up("the sender did not stop");
    coordinator.stop();
    if (demo.served.load() != 2) return give_up("the sender confirmed " + std::to_string(demo.served.load()) + " of 2 transfers");

    printf("\ndemo passed: 2 rendezvous; both endstations verified the payload (BLAKE2b-256 %.16s...)\n",
           checksum.c_str());
    printf("next, between two machines:\n"
           "  tqr send FILE          shows a code, such as 7-guitar-ocean-tulip, and the command to run there\n"
           "  tqr receive CODE       on the other machine, as that command says (with --host naming this one)\n");
    return leave(EXIT_DONE);
}

}  // namespace tqr
