// The machine's floor: the socket work of one rendezvous done without the library, so that the
// library's figures can be read against what the kernel and the scheduler cost by themselves.
//
// One round is: the endstation's connect to the coordinator, the coordinator's greeting and the four
// handshake phrases, "Nominate ", "Approve ", "Listen ", a listening socket on a pool port,
// "Listening ", "Connect ", the endstation's connect to that port, "Connected ", one key frame each
// way on the direct link (where both sides would call the bridge), then "Endstation Happy ",
// "Sender Happy ", "Adios " and the closes. The sender's link to the coordinator is made once, as a
// sender's is. Texts are NUL-terminated and sized like the library's; TCP_NODELAY on every socket.
//
// Latency: from the endstation's connect until both ends hold the other's key frame. Rate: whole
// rounds (through the closes) per second, one after another.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <thread>

#include "floor.h"

namespace {

using Clock = std::chrono::steady_clock;

// Bounds every read and write, so that a broken round ends instead of hanging.
constexpr int kIoTimeoutSeconds = 5;

int64_t now_ns() {
    return std::chrono::duration_cast<std::chrono::nanoseconds>(Clock::now().time_since_epoch()).count();
}

sockaddr_in loopback(int port) {
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = htons(static_cast<uint16_t>(port));
    return address;
}

// Client ends close with a reset (SO_LINGER 0), as the library's do, so that no TIME_WAIT piles up
// on the pool ports.
void tune(int fd, bool client) {
    int on = 1;
    setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
    if (client) {
        linger zero{1, 0};
        setsockopt(fd, SOL_SOCKET, SO_LINGER, &zero, sizeof zero);
    }
    timeval limit{kIoTimeoutSeconds, 0};
    setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
    setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &limit, sizeof limit);
}

int make_listener(int port, int backlog) {
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    int on = 1;
    setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    sockaddr_in local = loopback(port);
    if (bind(fd, reinterpret_cast<sockaddr*>(&local), sizeof local) == 0 && listen(fd, backlog) == 0) return fd;
    close(fd);
    return -1;
}

int connect_to(int port) {
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in peer = loopback(port);
    if (connect(fd, reinterpret_cast<sockaddr*>(&peer), sizeof peer) != 0) {
        close(fd);
        return -1;
    }
    tune(fd, true);
    return fd;
}

int accept_from(int listener) {
    int fd;
    do {
        fd = accept4(listener, nullptr, nullptr, SOCK_CLOEXEC);
    } while (fd < 0 && errno == EINTR);
    if (fd >= 0) tune(fd, false);
    return fd;
}

bool send_text(int fd, const std::string& text) {
    return send(fd, text.c_str(), text.size() + 1, MSG_NOSIGNAL) == static_cast<ssize_t>(text.size() + 1);
}

// One end of a link that reads NUL-terminated texts.
struct Link {
    int fd = -1;
    std::string pending;

    explicit Link(int socket = -1) : fd(socket) {}
    ~Link() { close_now(); }

    bool read() {
        for (;;) {
            size_t nul = pending.find('\0');
            if (nul != std::string::npos) {
                pending.erase(0, nul + 1);
                return true;
            }
            char chunk[1024];
            ssize_t n = recv(fd, chunk, sizeof chunk, 0);
            if (n > 0) {
                pending.append(chunk, static_cast<size_t>(n));
            } else if (n == 0 || errno != EINTR) {
                return false;
            }
        }
    }
    // Reads until the peer has gone.
    void drain() {
        char chunk[256];
        while (recv(fd, chunk, sizeof chunk, 0) > 0) {
        }
    }
    void close_now() {
        if (fd >= 0) close(fd);
        fd = -1;
        pending.clear();
    }
};

// The texts of one round, sized as the library's are.
struct Texts {
    std::string cookie;
    std::string key_sender = "s\xff" "c\xff" "e\xff";
    std::string key_endstation = "\xffs\xff" "c\xff" "e";

    Texts() {
        char text[32];
        snprintf(text, sizeof text, "%p", static_cast<void*>(this));
        cookie = text;
    }
    std::string message(const char* name, const std::string& info) const { return name + cookie + " " + info; }
};

const char* const kHandshake[4] = {"TQR Caller is Endstation", "TQR Endstation 1.2", "From Endstation name e",
                                   "From Endstation join conf"};

// What the two threads share.
struct Shared {
    int coord_port;
    int listener;
    int pool_base;
    int pool_size;
    Texts texts;
    std::atomic<int> direct_listener{-1};     // made by the sender's side, taken by the coordinator's
    std::atomic<int64_t> sender_bridged{0};   // when the sender's end held the endstation's key frame
    std::atomic<bool> failed{false};
};

// Thread A's round: the coordinator, and the sender's listener end of the direct link.
bool coordinator_round(Shared& s, Link& cs, int r) {
    const std::string port = std::to_string(s.pool_base + r % s.pool_size);
    Link ce(accept_from(s.listener));
    bool ok = ce.fd >= 0 && send_text(ce.fd, "TQR Coordinator 1.2");
    for (int i = 0; i < 4 && ok; ++i) ok = ce.read();
    ok = ok && send_text(cs.fd, s.texts.message("Nominate ", "e")) && cs.read();
    ok = ok && send_text(cs.fd, s.texts.message("Listen ", port)) && cs.read();
    ok = ok && send_text(ce.fd, s.texts.message("Connect ", port));
    if (!ok) return false;
    int direct = s.direct_listener.exchange(-1);
    Link ds(direct >= 0 ? accept_from(direct) : -1);
    if (direct >= 0) close(direct);
    ok = ds.fd >= 0 && send_text(ds.fd, s.texts.key_sender) && ds.read();
    s.sender_bridged.store(now_ns());
    ok = ok && ce.read() && send_text(cs.fd, s.texts.message("Endstation Happy ", port));
    ok = ok && cs.read() && send_text(ce.fd, s.texts.message("Adios ", ""));
    ds.close_now();
    if (ok) ce.drain();
    return ok;
}

// Thread B's round: the endstation, and the sender's link to the coordinator. Sets `latency_us`.
bool endstation_round(Shared& s, Link& sender, int r, double* latency_us) {
    const int port_number = s.pool_base + r % s.pool_size;
    const std::string port = std::to_string(port_number);
    const int64_t t0 = now_ns();
    Link e(connect_to(s.coord_port));
    bool ok = e.fd >= 0 && e.read();
    for (int i = 0; i < 4 && ok; ++i) ok = send_text(e.fd, kHandshake[i]);
    ok = ok && sender.read() && send_text(sender.fd, s.texts.message("Approve ", ""));
    ok = ok && sender.read();
    if (ok) {
        int direct = make_listener(port_number, 1);
        s.direct_listener.store(direct);
        ok = direct >= 0 && send_text(sender.fd, s.texts.message("Listening ", port));
    }
    Link de;
    ok = ok && e.read();
    if (ok) de.fd = connect_to(port_number);
    ok = ok && de.fd >= 0 && send_text(e.fd, s.texts.message("Connected ", port)) &&
         send_text(de.fd, s.texts.key_endstation) && de.read();
    const int64_t endstation_bridged = now_ns();
    // "Endstation Happy ": the sender's end has its key frame by now.
    ok = ok && sender.read();
    *latency_us = static_cast<double>(std::max(endstation_bridged, s.sender_bridged.load()) - t0) / 1000.0;
    return ok && send_text(sender.fd, s.texts.message("Sender Happy ", port)) && e.read();
}

}  // namespace

bool zel_floor::two_thread(int coord_port, int pool_base, int pool_size, int warmup, int rounds, FloorRun* out,
                           std::string* error) {
    Shared s{coord_port, make_listener(coord_port, 128), pool_base, pool_size, {}, {-1}, {0}, {false}};
    if (s.listener < 0) {
        *error = "cannot listen on port " + std::to_string(coord_port);
        return false;
    }
    const int total = warmup + rounds;
    const Usage before = Usage::now();
    std::thread coordinator([&] {
        Link cs(accept_from(s.listener));
        for (int r = 0; r < total && !s.failed.load(); ++r)
            if (!coordinator_round(s, cs, r)) s.failed.store(true);
    });
    Link sender(connect_to(coord_port));
    out->latency_us.clear();
    Clock::time_point started = Clock::now();
    for (int r = 0; r < total && !s.failed.load() && sender.fd >= 0; ++r) {
        if (r == warmup) started = Clock::now();
        double latency = 0;
        if (!endstation_round(s, sender, r, &latency)) s.failed.store(true);
        if (r >= warmup) out->latency_us.push_back(latency);
    }
    const double elapsed = std::chrono::duration<double>(Clock::now() - started).count();
    if (sender.fd < 0) s.failed.store(true);
    // Wakes the coordinator's thread wherever it waits.
    shutdown(s.listener, SHUT_RDWR);
    sender.close_now();
    coordinator.join();
    close(s.listener);
    if (int direct = s.direct_listener.exchange(-1); direct >= 0) close(direct);
    const Usage after = Usage::now();
    if (s.failed.load()) {
        *error = "a round of the floor failed";
        return false;
    }
    out->per_s = elapsed > 0 ? rounds / elapsed : 0.0;
    out->cpu_us = (after.cpu_us - before.cpu_us) / total;
    out->switches = static_cast<double>(after.switches - before.switches) / total;
    return true;
}

#ifdef ZEL_FLOOR_MAIN

// zel_bench_floor [rounds]: the floor alone, on ZEL_FLOOR_PORT (default 28030) and the 20 ports above.
int main(int argc, char** argv) {
    int rounds = argc > 1 ? atoi(argv[1]) : 2000;
    if (rounds <= 0) rounds = 2000;
    const char* base = getenv("ZEL_FLOOR_PORT");
    const int port = base ? atoi(base) : 28030;
    zel_floor::FloorRun run;
    std::string error;
    if (!zel_floor::two_thread(port, port + 1, 20, 100, rounds, &run, &error)) {
        fprintf(stderr, "zel_bench_floor: %s\n", error.c_str());
        return 1;
    }
    printf("floor_two_thread_us=%.1f\n", zel_floor::percentile(run.latency_us, 0.5));
    printf("floor_two_thread_us_p99=%.1f\n", zel_floor::percentile(run.latency_us, 0.99));
    printf("floor_two_thread_per_s=%.0f\n", run.per_s);
    printf("floor_two_thread_cpu_us=%.1f\n", run.cpu_us);
    printf("floor_two_thread_switches=%.1f\n", run.switches);
    return 0;
}

#endif
