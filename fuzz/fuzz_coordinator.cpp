// Fuzz target: a live coordinator, an honest rendezvous under way, and a hostile third party.
//
// Once per process: an in-process CoordinatorServer on TQR_COORDINATOR_PORT (26000 when unset; the
// port pool is whatever TQR_COORDINATOR_PORT/TQR_TOP_PORT gave at load time, so run.sh sets both) and
// a short listener time limit (TQR_LISTEN_TIMEOUT=1).
//
// Per input, in a conference of its own: a real endstation and a real sender (Caller objects running
// the host steps) meet through the coordinator; their bridges hold the direct link until the hostile
// party is done. The hostile party, a raw TCP client driven by the input, walks the handshake as one
// of
//   0  an endstation of the same conference (it is nominated to the honest sender in its turn),
//   1  the sender of a conference of its own, in which a passive raw endstation waits,
//   2  a second sender of the same conference (refused),
// starting at one of three points: before the honest sender joins, right after it joins, or while
// both bridges hold the link. It then sends named messages of any type with cookies chosen among the
// honest parties' real coordinator Callers, its own, those it has heard, arbitrary values and text,
// and with infos chosen among ports of the pool, ports it has heard, the honest link's port and
// arbitrary text; it may also send raw bytes, wait for and learn from what it is sent, knock on a
// sender's lent port with an arbitrary key frame, or hang up.
//
// Checks: the coordinator survives (AddressSanitizer, UndefinedBehaviorSanitizer), the honest
// endstation's message loop ends on "Adios " and both honest ends were bridged to each other, and
// every party is released afterwards.
#include <arpa/inet.h>
#include <fuzzer/FuzzedDataProvider.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "common/zel_common.h"
#include "fuzz_support.h"
#include "protocol/activelist.h"
#include "protocol/caller.h"
#include "protocol/conference.h"
#include "protocol/lock.h"
#include "protocol/messages.h"
#include "protocol/phrase.h"
#include "protocol/portmanager.h"
#include "tools/tqr/coordinator_server.h"

namespace {

using std::chrono::milliseconds;

const char* const kKey = "fuzz-key";
// Limits that only a failure reaches: long enough for a port that a failed rendezvous holds back
// (listener limit plus its margin) to come back should the pool run dry, and for a loaded machine.
constexpr milliseconds kHonestLimit(20000);
constexpr milliseconds kStepLimit(5000);
constexpr int kMaxOps = 48;
constexpr int kMaxWaitMsPerRun = 60;

// ZEL_FUZZ_TRACE=1 reports what the hostile party says and hears (for replaying one input).
bool g_trace = false;

int g_port = 0;
CoordinatorServer* g_server = nullptr;
unsigned long g_run = 0;

// ---- The bridge: records each call and holds the link until the run releases it. ----

struct BridgeCall {
    int local_port;
    int peer_port;
    int fd;
};

std::mutex g_bridge_mutex;
std::condition_variable g_bridge_cond;
std::vector<BridgeCall> g_bridge_calls;  // this run's calls
bool g_bridge_released = false;

int port_of_address(const sockaddr_in& address) { return ntohs(address.sin_port); }

bool in_pool(int port) { return port > g_portmanager.coord_port() && port <= g_portmanager.top_port(); }

void hold_bridge(int fd) {
    sockaddr_in local{}, peer{};
    socklen_t length = sizeof local;
    getsockname(fd, reinterpret_cast<sockaddr*>(&local), &length);
    length = sizeof peer;
    getpeername(fd, reinterpret_cast<sockaddr*>(&peer), &length);
    std::unique_lock<std::mutex> lock(g_bridge_mutex);
    g_bridge_calls.push_back(BridgeCall{port_of_address(local), port_of_address(peer), fd});
    g_bridge_cond.notify_all();
    g_bridge_cond.wait_for(lock, kStepLimit, [] { return g_bridge_released; });
}

// The honest link's pool port once both of its ends have been bridged, else 0. The sender's end
// listens on a pool port; the endstation's end is the other side of the same connection.
int honest_link_port() {
    std::lock_guard<std::mutex> lock(g_bridge_mutex);
    for (const BridgeCall& sender_end : g_bridge_calls) {
        if (!in_pool(sender_end.local_port)) continue;
        for (const BridgeCall& endstation_end : g_bridge_calls)
            if (endstation_end.local_port == sender_end.peer_port && endstation_end.peer_port == sender_end.local_port)
                return sender_end.local_port;
    }
    return 0;
}

// ---- The coordinator's records of a conference (read under the registry's locks). ----

struct Members {
    bool exists = false;
    const void* sender = nullptr;
    std::vector<const void*> receivers;
};

Members members_of(const std::string& confid) {
    Members out;
    zel::MutexGuard registry(g_activelist.m_mutex);
    auto found = g_activelist.m_conferences.find(confid);
    if (found == g_activelist.m_conferences.end()) return out;
    Conference* conference = found->second;
    zel::MutexGuard list(conference->m_list_mutex);
    out.exists = true;
    if (conference->m_has_sender) out.sender = conference->m_sender;
    out.receivers.assign(conference->m_receivers.begin(), conference->m_receivers.end());
    return out;
}

// ---- An honest party: a Caller running the host's steps on a thread of its own. ----

struct HonestParty {
    Caller caller;
    std::thread thread;
    std::atomic<bool> ended{false};

    void run(int type, const char* nickname, const std::string& confid) {
        thread = std::thread([this, type, nickname, confid] {
            if (caller.connect(g_port, "127.0.0.1", type, nickname, confid.c_str(), kKey) == 1) {
                caller.startreadthread();
                if (caller.negotiate(1, type, ROLE_COORDINATOR) == 1) caller.process();
            }
            ended = true;
        });
    }
    void stop() {
        if (int fd = caller.m_conn->fd()) shutdown(fd, SHUT_RDWR);
        if (thread.joinable()) thread.join();
    }
};

// ---- A raw party: a TCP client that speaks the wire protocol by hand. ----

struct RawParty {
    int fd = -1;
    std::string pending;               // received bytes after the last terminator
    std::vector<std::string> heard;    // every message received
    const void* last_cookie = nullptr;  // the cookie of the last message heard
    std::string last_port;              // the last port heard
    const void* nominated = nullptr;    // the cookie of the last "Nominate " heard

    ~RawParty() { hang_up(); }

    bool connect_to(int port) {
        fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        if (fd < 0) return false;
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_port = htons(static_cast<uint16_t>(port));
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        // No TIME_WAIT left behind by the many short links of a fuzzing session.
        linger abort_on_close{1, 0};
        setsockopt(fd, SOL_SOCKET, SO_LINGER, &abort_on_close, sizeof abort_on_close);
        int on = 1;
        setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
        return connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
    }
    void hang_up() {
        if (fd >= 0) close(fd);
        fd = -1;
    }
    void send_bytes(const std::string& bytes) {
        if (fd >= 0) send(fd, bytes.data(), bytes.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
    }
    void say(const std::string& text) {
        if (g_trace) zel_fuzz::report("  says  \"%s\"\n", text.c_str());
        send_bytes(text + '\0');
    }

    // Reads what has arrived, waiting at most `wait_ms` for the first bytes, and learns from it.
    void listen(int wait_ms) {
        if (fd < 0) return;
        pollfd ready{fd, POLLIN, 0};
        while (poll(&ready, 1, wait_ms) > 0) {
            char chunk[2048];
            ssize_t n = recv(fd, chunk, sizeof chunk, MSG_DONTWAIT);
            if (n <= 0) {
                hang_up();
                return;
            }
            pending.append(chunk, static_cast<size_t>(n));
            for (size_t nul; (nul = pending.find('\0')) != std::string::npos; pending.erase(0, nul + 1)) learn(pending.substr(0, nul));
            wait_ms = 0;
        }
    }
    void learn(const std::string& text) {
        if (g_trace) zel_fuzz::report("  hears \"%s\"\n", text.c_str());
        heard.push_back(text);
        DecodedMessage message;
        if (!decode_message(text, &message)) return;
        if (message.has_cookie) {
            last_cookie = message.cookie;
            if (message.type == MSG_NOMINATE) nominated = message.cookie;
        }
        if (message.has_info && port_of(message.info) > 0) last_port = message.info;
    }
    // Waits up to `limit` for a message that starts with `name`; the message, or "".
    std::string await(const char* name, milliseconds limit) {
        auto until = std::chrono::steady_clock::now() + limit;
        size_t seen = 0;
        for (;;) {
            for (; seen < heard.size(); ++seen)
                if (heard[seen].compare(0, strlen(name), name) == 0) return heard[seen];
            if (fd < 0 || std::chrono::steady_clock::now() > until) return std::string();
            listen(5);
        }
    }

    bool handshake(int role, const std::string& nickname, const std::string& confid) {
        if (await("TQR Coordinator ", kStepLimit).empty()) return false;
        if (role == ROLE_SENDER) {
            say("TQR Caller is Sender");
            say("TQR Sender 1.2");
            say("From Sender join " + confid);
        } else {
            say("TQR Caller is Endstation");
            say("TQR Endstation 1.2");
            say("From Endstation name " + nickname);
            say("From Endstation join " + confid);
        }
        return true;
    }
};

std::string cookie_text(const void* cookie) {
    char text[32];
    snprintf(text, sizeof text, "%p", cookie);
    return text;
}

// ---- One run. ----

enum Mode { SameConferenceEndstation = 0, OwnConferenceSender = 1, SecondSender = 2 };
enum Stage { BeforeSender = 0, AfterSender = 1, WhileBridged = 2 };

struct Run {
    FuzzedDataProvider& input;
    std::string confid;
    std::string own_confid;
    int mode = SameConferenceEndstation;
    int stage = BeforeSender;
    HonestParty endstation;
    HonestParty sender;
    RawParty raw;     // the hostile party
    RawParty helper;  // mode 1: the endstation waiting in the hostile sender's conference
    const void* honest_endstation = nullptr;  // the coordinator's Callers of the honest parties
    const void* honest_sender = nullptr;
    const void* raw_own = nullptr;  // the coordinator's Caller of the hostile party
    int wait_budget_ms = kMaxWaitMsPerRun;

    explicit Run(FuzzedDataProvider& provider) : input(provider) {}

    const void* pick_cookie(std::string& text) {
        switch (input.ConsumeIntegralInRange(0, 7)) {
        case 0:
            return honest_sender;
        case 1:
            return honest_endstation;
        case 2:
            return raw_own;
        case 3:
            return raw.last_cookie;
        case 4:
            return raw.nominated;
        case 5:
            return reinterpret_cast<const void*>(input.ConsumeIntegral<uintptr_t>());
        case 6:
            return nullptr;
        default:
            text = input.ConsumeRandomLengthString(16);
            return nullptr;
        }
    }

    std::string pick_info(bool& with_blank) {
        with_blank = true;
        switch (input.ConsumeIntegralInRange(0, 5)) {
        case 0:
            with_blank = false;
            return std::string();
        case 1:
            return std::string();
        case 2:
            return raw.last_port;
        case 3: {
            int pool = g_portmanager.top_port() - g_portmanager.coord_port();
            return std::to_string(g_portmanager.coord_port() + 1 + input.ConsumeIntegralInRange(0, pool > 0 ? pool - 1 : 0));
        }
        case 4: {
            int port = honest_link_port();
            return port ? std::to_string(port) : raw.last_port;
        }
        default:
            return input.ConsumeRandomLengthString(32);
        }
    }

    void send_named_message() {
        int type = input.ConsumeIntegralInRange(0, g_message_count - 1);
        std::string text;
        const void* cookie = pick_cookie(text);
        if (text.empty()) text = cookie_text(cookie);
        bool with_blank;
        std::string info = pick_info(with_blank);
        raw.say(g_message_names[type] + text + (with_blank ? " " + info : std::string()));
    }

    // Connects to a lent port and sends an arbitrary key frame, as an endstation would.
    void knock() {
        std::string frame = input.ConsumeRandomLengthString(24);
        int port = port_of(raw.last_port);
        if (port <= 0 || !in_pool(port)) return;
        RawParty direct;
        if (!direct.connect_to(port)) return;
        direct.send_bytes(frame + (input.ConsumeBool() ? std::string(1, '\0') : std::string()));
        direct.listen(2);
    }

    void play() {
        for (int op = 0; op < kMaxOps && input.remaining_bytes() > 0 && raw.fd >= 0; ++op) {
            switch (input.ConsumeIntegralInRange(0, 9)) {
            case 0: case 1: case 2: case 3: case 4:
                send_named_message();
                break;
            case 5: {
                int wait_ms = std::min(wait_budget_ms, input.ConsumeIntegralInRange(0, 10));
                wait_budget_ms -= wait_ms;
                g_activelist.signal(mode == OwnConferenceSender ? own_confid : confid);
                raw.listen(wait_ms);
                break;
            }
            case 6:
                raw.send_bytes(input.ConsumeRandomLengthString(64));
                break;
            case 7:
                knock();
                break;
            case 8:
                helper.listen(0);
                raw.listen(0);
                break;
            default:
                raw.hang_up();
                break;
            }
            raw.listen(0);
        }
    }

    // The hostile party's own rendezvous, finished the honest way where it got far enough, so that
    // its port comes back at once instead of after the listener's time limit.
    void finish_own_rendezvous() {
        if (raw.fd < 0) return;
        if (mode == SameConferenceEndstation) {
            g_activelist.signal(confid);
            std::string connect = raw.await(g_message_names[MSG_CONNECT], milliseconds(300));
            DecodedMessage message;
            if (!decode_message(connect, &message) || !message.has_cookie) return;
            raw.say(g_message_names[MSG_CONNECTED] + cookie_text(message.cookie) + " " + message.info);
            raw.await(g_message_names[MSG_ADIOS], milliseconds(300));
        } else if (mode == OwnConferenceSender) {
            std::string listen = raw.await(g_message_names[MSG_LISTEN], milliseconds(10));
            DecodedMessage message;
            if (!decode_message(listen, &message) || !message.has_cookie) return;
            raw.say(g_message_names[MSG_LISTENING] + cookie_text(message.cookie) + " " + message.info);
            std::string connect = helper.await(g_message_names[MSG_CONNECT], milliseconds(300));
            DecodedMessage to_helper;
            if (!decode_message(connect, &to_helper) || !to_helper.has_cookie) return;
            helper.say(g_message_names[MSG_CONNECTED] + cookie_text(to_helper.cookie) + " " + to_helper.info);
            std::string happy = raw.await(g_message_names[MSG_ENDSTATION_HAPPY], milliseconds(300));
            DecodedMessage from_coordinator;
            if (!decode_message(happy, &from_coordinator) || !from_coordinator.has_cookie) return;
            raw.say(g_message_names[MSG_SENDER_HAPPY] + cookie_text(from_coordinator.cookie) + " " + from_coordinator.info);
            helper.await(g_message_names[MSG_ADIOS], milliseconds(300));
        }
    }

    void join_hostile_party() {
        int role = mode == SameConferenceEndstation ? ROLE_ENDSTATION : ROLE_SENDER;
        const std::string& conference = mode == OwnConferenceSender ? own_confid : confid;
        ZEL_FUZZ_CHECK(raw.connect_to(g_port), "the coordinator refused a connection");
        ZEL_FUZZ_CHECK(raw.handshake(role, "raw", conference), "no handshake from the coordinator");
        if (mode == SameConferenceEndstation) {
            // Filed, or (with the honest sender in) nominated at once and told to connect.
            bool filed = zel_fuzz::wait_until(
                [&] {
                    Members now = members_of(confid);
                    for (const void* receiver : now.receivers)
                        if (receiver != honest_endstation) raw_own = receiver;
                    if (raw_own != nullptr) return true;
                    raw.listen(1);
                    return stage != BeforeSender && !raw.await(g_message_names[MSG_CONNECT], milliseconds(0)).empty();
                },
                kStepLimit);
            ZEL_FUZZ_CHECK(filed, "the hostile endstation was neither filed nor nominated");
        } else if (mode == OwnConferenceSender) {
            ZEL_FUZZ_CHECK(zel_fuzz::wait_until([&] { return (raw_own = members_of(own_confid).sender) != nullptr; }, kStepLimit),
                           "the hostile sender was not filed");
            ZEL_FUZZ_CHECK(helper.connect_to(g_port) && helper.handshake(ROLE_ENDSTATION, "helper", own_confid),
                           "no handshake for the helper endstation");
        } else {
            raw.await(g_message_names[MSG_REJECTED_SENDER], milliseconds(300));
        }
    }

    // What the coordinator and the honest parties look like, for a failure report.
    std::string state() {
        Members now = members_of(confid);
        std::string calls;
        {
            std::lock_guard<std::mutex> lock(g_bridge_mutex);
            for (const BridgeCall& call : g_bridge_calls)
                calls += " " + std::to_string(call.local_port) + "->" + std::to_string(call.peer_port);
        }
        char text[512];
        snprintf(text, sizeof text,
                 "mode %d, stage %d; conference %s, sender %s, %zu waiting; honest endstation %s, sender %s; "
                 "%d parties; ports %zu free, %zu lent, %zu returning; bridge calls:%s",
                 mode, stage, now.exists ? "filed" : "gone", now.sender ? "in" : "out", now.receivers.size(),
                 endstation.ended ? "ended" : "running", sender.ended ? "ended" : "running", g_server->parties(),
                 g_portmanager.free_count(), g_portmanager.lent_count(), g_portmanager.returning_count(),
                 calls.empty() ? " none" : calls.c_str());
        return text;
    }

    void join_honest_sender() {
        sender.run(ROLE_SENDER, "honest-s", confid);
        ZEL_FUZZ_CHECK(zel_fuzz::wait_until([&] { return (honest_sender = members_of(confid).sender) != nullptr; }, kStepLimit),
                       "the honest sender was not filed: %s", state().c_str());
    }

    void go() {
        mode = input.ConsumeIntegralInRange(0, 2);
        stage = input.ConsumeIntegralInRange(0, 2);
        // A second sender is only second once the honest one is in.
        if (mode == SecondSender && stage == BeforeSender) stage = AfterSender;
        if (g_trace) zel_fuzz::report("run %lu: mode %d, stage %d\n", g_run, mode, stage);

        endstation.run(ROLE_ENDSTATION, "honest-e", confid);
        ZEL_FUZZ_CHECK(zel_fuzz::wait_until(
                           [&] {
                               Members now = members_of(confid);
                               if (now.receivers.size() == 1) honest_endstation = now.receivers.front();
                               return honest_endstation != nullptr;
                           },
                           kStepLimit),
                       "the honest endstation was not filed");

        if (stage == BeforeSender) {
            join_hostile_party();
            play();
            join_honest_sender();
        } else {
            join_honest_sender();
            if (stage == WhileBridged) {
                ZEL_FUZZ_CHECK(zel_fuzz::wait_until([] { return honest_link_port() != 0; }, kHonestLimit),
                               "the honest parties were never bridged: %s", state().c_str());
            }
            join_hostile_party();
            play();
        }
        {
            std::lock_guard<std::mutex> lock(g_bridge_mutex);
            g_bridge_released = true;
            g_bridge_cond.notify_all();
        }
        finish_own_rendezvous();

        bool ended = zel_fuzz::wait_until([&] { return endstation.ended.load(); }, kHonestLimit);
        // The sender's end is bridged on its listener thread, which may lag behind the endstation.
        int link = 0;
        zel_fuzz::wait_until([&] { return (link = honest_link_port()) != 0; }, kStepLimit);
        ZEL_FUZZ_CHECK(ended && link != 0, "the honest rendezvous did not complete: %s", state().c_str());
    }

    void tear_down() {
        raw.hang_up();
        helper.hang_up();
        {
            std::lock_guard<std::mutex> lock(g_bridge_mutex);
            g_bridge_released = true;
            g_bridge_cond.notify_all();
        }
        sender.stop();
        endstation.stop();
    }
};

void start_coordinator() {
    zel_set_quiet(1);
    g_trace = getenv("ZEL_FUZZ_TRACE") != nullptr;
    // Read per listener: a listener whose endstation never comes gives up after a second.
    setenv("TQR_LISTEN_TIMEOUT", "1", 1);
    set_bridge_callback(hold_bridge);
    const char* configured = getenv("TQR_COORDINATOR_PORT");
    g_port = configured ? atoi(configured) : 26000;
    g_server = new CoordinatorServer();
    if (!g_server->start(g_port)) {
        zel_fuzz::report("fuzz_coordinator: cannot listen on port %d\n", g_port);
        exit(1);
    }
    if (g_portmanager.coord_port() != g_port)
        zel_fuzz::report("fuzz_coordinator: note: the port pool follows %d, not %d (set TQR_COORDINATOR_PORT "
                         "and TQR_TOP_PORT)\n", g_portmanager.coord_port(), g_port);
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    zel_fuzz::init_report();
    start_coordinator();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    {
        std::lock_guard<std::mutex> lock(g_bridge_mutex);
        g_bridge_calls.clear();
        g_bridge_released = false;
    }
    FuzzedDataProvider input(data, size);
    ++g_run;
    {
        Run run(input);
        run.confid = "fuzz-" + std::to_string(g_run);
        run.own_confid = "fuzz-own-" + std::to_string(g_run);
        run.go();
        run.tear_down();
        // The sockets that reached the honest endstation's host stay with it: closed here, after the
        // Caller (which leaves a bridged socket open) is gone.
    }
    {
        std::lock_guard<std::mutex> lock(g_bridge_mutex);
        for (const BridgeCall& call : g_bridge_calls)
            if (!in_pool(call.local_port)) close(call.fd);
        g_bridge_calls.clear();
    }
    ZEL_FUZZ_CHECK(zel_fuzz::wait_until([] { return g_server->parties() == 0; }, kStepLimit),
                   "%d parties still served after the run", g_server->parties());
    return 0;
}
